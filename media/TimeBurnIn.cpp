#include "media/TimeBurnIn.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>

void DrawTimeOnFrame(unsigned char* rgb, int width, int height, int timeOfDay) {
    // The line length is given: QImage would otherwise expect rows padded to 4 bytes.
    QImage image(rgb, width, height, 3 * width, QImage::Format_RGB888);
    QPainter painter(&image);
    painter.setPen(QColor(255, 255, 255, 255));
    QFont font;
    font.setPixelSize(30);
    font.setFamily("Microsoft YaHei UI");
    painter.setFont(font);
    const QString text = QString::asprintf("%02d:%02d:%02d", timeOfDay / 3600,
                                           (timeOfDay % 3600) / 60, timeOfDay % 60);
    painter.drawText(0, height / 30, width, height, Qt::AlignHCenter, text);
}
