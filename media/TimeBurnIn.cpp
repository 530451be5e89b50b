#include "media/TimeBurnIn.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>
#include <algorithm>

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
    *first = height / 30;
    *count = std::min(kTimeRows, height - *first);
}

void DrawTimeOnRows(unsigned char* rgbRows, int width, int height, int timeOfDay) {
    int first = 0;
    int count = 0;
    TimeRows(height, &first, &count);
    DrawTime(rgbRows, width, height, first, count, timeOfDay);
}
