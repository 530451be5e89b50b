// calorview-make-resources <application folder>: writes the client's drawn images into
// <folder>/Skin/ and its default alarm sound to <folder>/alarm1.wav. Run by the build.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <utility>

#include "AlarmTone.h"
#include "Artwork.h"

namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

}  // namespace

int main(int argc, char** argv) {
    // Painting text needs the font database, which needs a GUI application, not a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: calorview-make-resources <application folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(QStringLiteral("Skin"))) {
        std::fprintf(stderr, "calorview-make-resources: cannot create %s\n",
                     qPrintable(folder.filePath(QStringLiteral("Skin"))));
        return 1;
    }

    using Glyph = Artwork::Glyph;
    const std::pair<const char*, QImage> images[] = {
        {"logo.png", Artwork::logo()},
        {"mainicon.png", Artwork::mainIcon()},
        {"alert_error.png", Artwork::alertError()},
        {"alert_correctness.png", Artwork::alertCorrectness()},
        {"close.png", Artwork::glyph(Glyph::Close)},
        {"min.png", Artwork::glyph(Glyph::Minimise)},
        {"max.png", Artwork::glyph(Glyph::Maximise)},
        {"restore.png", Artwork::glyph(Glyph::Restore)},
        {"menu.png", Artwork::glyph(Glyph::Menu)},
        {"arrow_down.png", Artwork::glyph(Glyph::ArrowDown)},
        {"arrow_up.png", Artwork::glyph(Glyph::ArrowUp)},
        {"check_off.png", Artwork::glyph(Glyph::CheckOff)},
        {"check_on.png", Artwork::glyph(Glyph::CheckOn)},
    };
    int failures = 0;
    for (const auto& [name, image] : images) {
        const QString path = folder.filePath(QStringLiteral("Skin/") + QLatin1String(name));
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "calorview-make-resources: cannot write %s\n", qPrintable(path));
            ++failures;
        }
    }
    const QString sound = folder.filePath(QStringLiteral("alarm1.wav"));
    if (!writeFile(sound, AlarmTone::wavFile(AlarmTone::samples()))) {
        std::fprintf(stderr, "calorview-make-resources: cannot write %s\n", qPrintable(sound));
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
