#include "video/Letterbox.h"

QRect LetterboxRect(QSize picture, QSize area) {
    if (picture.isEmpty() || area.isEmpty()) {
        return {};
    }
    const double pictureAspect = static_cast<double>(picture.width()) / picture.height();
    const double areaAspect = static_cast<double>(area.width()) / area.height();
    if (areaAspect < pictureAspect) {
        // The area is relatively taller: bars above and below.
        const int height = static_cast<int>(area.width() / pictureAspect);
        return QRect(0, (area.height() - height) / 2, area.width(), height);
    }
    const int width = static_cast<int>(area.height() * pictureAspect);
    return QRect((area.width() - width) / 2, 0, width, area.height());
}
