#include "events/AlarmPicture.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <cmath>

namespace {

// Tries at scaling before giving up: each aims below the limit by the size just reached.
constexpr int kScaleTries = 8;

}  // namespace

AlarmPicture AlarmPicture::Load(const QString& path, qint64 maxBytes) {
    AlarmPicture picture;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        picture.error = file.errorString();
        return picture;
    }
    const QByteArray bytes = file.readAll();
    picture.fileBytes = bytes.size();
    QImage image;
    if (!image.loadFromData(bytes, "PNG")) {
        picture.error = QStringLiteral("not a PNG picture");
        return picture;
    }
    picture.width = image.width();
    picture.height = image.height();
    if (bytes.size() <= maxBytes) {
        picture.png = bytes;
        return picture;
    }
    double factor = 1.0;
    qint64 size = bytes.size();
    for (int i = 0; i < kScaleTries; ++i) {
        // PNG size grows about with the pixel count; aim a tenth below the limit.
        factor *= std::sqrt(0.9 * static_cast<double>(maxBytes) / static_cast<double>(size));
        const QImage smaller = image.scaled(std::max(1, static_cast<int>(image.width() * factor)),
                                            std::max(1, static_cast<int>(image.height() * factor)),
                                            Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QByteArray encoded;
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        smaller.save(&buffer, "PNG");
        size = encoded.size();
        if (size <= maxBytes) {
            picture.png = encoded;
            picture.width = smaller.width();
            picture.height = smaller.height();
            picture.scaled = true;
            return picture;
        }
    }
    picture.error = QStringLiteral("it does not fit in %1 bytes even scaled down").arg(maxBytes);
    return picture;
}
