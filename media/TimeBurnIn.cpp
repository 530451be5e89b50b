#include "media/TimeBurnIn.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>
#include <algorithm>

#include "media/ColourConversion.h"

namespace {

// The drawing on `rows` rows of a width x height picture from row `first` on; the painter is
// moved by whole rows, so every glyph lands on the same pixels as on the whole picture.
void DrawTime(unsigned char* rgb, int width, int height, int first, int rows, int timeOfDay) {
    // The line length is given: QImage would otherwise expect rows padded to 4 bytes.
    QImage image(rgb, width, rows, 3 * width, QImage::Format_RGB888);
    QPainter painter(&image);
    painter.translate(0, -first);
    painter.setPen(QColor(255, 255, 255, 255));
    QFont font;
    font.setPixelSize(30);
    font.setFamily("Microsoft YaHei UI");
    painter.setFont(font);
    const QString text = QString::asprintf("%02d:%02d:%02d", timeOfDay / 3600,
                                           (timeOfDay % 3600) / 60, timeOfDay % 60);
    painter.drawText(0, height / 30, width, height, Qt::AlignHCenter, text);
}

// A 30-pixel font's line, with room to spare for any family's ascent and descent.
constexpr int kTimeRows = 64;

}  // namespace

void DrawTimeOnFrame(unsigned char* rgb, int width, int height, int timeOfDay) {
    DrawTime(rgb, width, height, 0, height, timeOfDay);
}

void TimeRows(int height, int* first, int* count) {
    // From an even row, so that the rows hold whole 2 x 2 blocks of an I420 picture.
    *first = height / 30 / 2 * 2;
    *count = std::min(kTimeRows, height - *first);
}

void DrawTimeOnRows(unsigned char* rgbRows, int width, int height, int timeOfDay) {
    int first = 0;
    int count = 0;
    TimeRows(height, &first, &count);
    DrawTime(rgbRows, width, height, first, count, timeOfDay);
}

void DrawTimeOnI420(unsigned char* i420, const unsigned char* uyvy, int width, int height,
                    int timeOfDay, std::vector<unsigned char>* scratch) {
    int first = 0;
    int rows = 0;
    TimeRows(height, &first, &rows);
    const size_t bandPixels = static_cast<size_t>(width) * static_cast<size_t>(rows);
    scratch->resize(bandPixels * 3 + bandPixels * 3 / 2);
    unsigned char* rgb = scratch->data();
    unsigned char* band = rgb + bandPixels * 3;
    const size_t skipped = static_cast<size_t>(width) * static_cast<size_t>(first);
    UyvyToRgb24(uyvy + 2 * skipped, rgb, width, rows);
    DrawTimeOnRows(rgb, width, height, timeOfDay);
    Rgb24ToI420(band, rgb, width, rows);
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::copy(band, band + bandPixels, i420 + skipped);
    std::copy(band + bandPixels, band + bandPixels * 5 / 4, i420 + pixels + skipped / 4);
    std::copy(band + bandPixels * 5 / 4, band + bandPixels * 3 / 2,
              i420 + pixels * 5 / 4 + skipped / 4);
}

void MakeRecordedPicture(unsigned char* i420, const unsigned char* uyvy, int width, int height,
                         int timeOfDay, std::vector<unsigned char>* scratch) {
    if (GreyUyvyToI420(i420, uyvy, width, height)) {
        DrawTimeOnI420(i420, uyvy, width, height, timeOfDay, scratch);
        return;
    }
    scratch->resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    UyvyToRgb24(uyvy, scratch->data(), width, height);
    DrawTimeOnFrame(scratch->data(), width, height, timeOfDay);
    Rgb24ToI420(i420, scratch->data(), width, height);
}
