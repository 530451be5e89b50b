#include "app/Triangle.h"

#include <QPainter>
#include <QPolygon>

void Triangle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor orange(255, 127, 64, 255);
    painter.setPen(orange);
    painter.setBrush(orange);
    painter.drawPolygon(
        QPolygon({QPoint(0, height()), QPoint(width() / 2, 0), QPoint(width(), height())}));
}
