#include "Artwork.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

// The theme's colours (the style sheet uses the same values).
const QColor kAccent(255, 127, 64);
const QColor kGlyph(0xcf, 0xcf, 0xcf);
const QColor kText(0xe6, 0xe6, 0xe6);

QImage transparentImage(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void beginPainting(QPainter& painter) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
}

QPen roundPen(const QColor& colour, qreal width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A thermal lens in a dark rounded tile: an "ironbow" hot spot (white, yellow, orange, magenta,
// violet) ringed in the accent colour, with a measuring reticle. Shared by the icon and the logo.
void drawEmblem(QPainter& painter, const QRectF& tile) {
    const qreal w = tile.width();
    QLinearGradient tileFill(tile.topLeft(), tile.bottomLeft());
    tileFill.setColorAt(0.0, QColor(0x30, 0x30, 0x30));
    tileFill.setColorAt(1.0, QColor(0x12, 0x12, 0x12));
    painter.setPen(QPen(QColor(0x48, 0x48, 0x48), w * 0.02));
    painter.setBrush(tileFill);
    painter.drawRoundedRect(tile.adjusted(w * 0.01, w * 0.01, -w * 0.01, -w * 0.01), w * 0.22,
                            w * 0.22);

    const QPointF centre = tile.center();
    painter.setPen(QPen(kAccent, w * 0.045));
    painter.setBrush(QColor(0x0a, 0x0a, 0x0a));
    painter.drawEllipse(centre, w * 0.37, w * 0.37);

    const qreal lens = w * 0.31;
    QRadialGradient heat(centre, lens, centre + QPointF(-w * 0.07, -w * 0.06));
    heat.setColorAt(0.00, QColor(0xff, 0xfb, 0xe6));
    heat.setColorAt(0.18, QColor(0xff, 0xe0, 0x5a));
    heat.setColorAt(0.42, kAccent);
    heat.setColorAt(0.68, QColor(0xc2, 0x18, 0x5b));
    heat.setColorAt(0.88, QColor(0x4a, 0x14, 0x8c));
    heat.setColorAt(1.00, QColor(0x1a, 0x0a, 0x3a));
    painter.setPen(Qt::NoPen);
    painter.setBrush(heat);
    painter.drawEllipse(centre, lens, lens);

    // Reticle: four ticks around the hot spot and a small ring on it.
    const QPointF spot = centre + QPointF(-w * 0.07, -w * 0.06);
    const qreal gap = w * 0.07;
    const qreal tick = w * 0.08;
    painter.setPen(roundPen(QColor(255, 255, 255, 210), w * 0.022));
    painter.setBrush(Qt::NoBrush);
    painter.drawLine(spot + QPointF(-gap - tick, 0), spot + QPointF(-gap, 0));
    painter.drawLine(spot + QPointF(gap, 0), spot + QPointF(gap + tick, 0));
    painter.drawLine(spot + QPointF(0, -gap - tick), spot + QPointF(0, -gap));
    painter.drawLine(spot + QPointF(0, gap), spot + QPointF(0, gap + tick));
    painter.drawEllipse(spot, w * 0.028, w * 0.028);
}

QImage alertIcon(const QColor& disc, const QPainterPath& symbol) {
    QImage image = transparentImage(30, 30);
    QPainter painter(&image);
    beginPainting(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(disc);
    painter.drawEllipse(QRectF(2, 2, 26, 26));
    painter.setPen(roundPen(Qt::white, 2.6));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(symbol);
    return image;
}

QSize glyphSize(Artwork::Glyph glyph) {
    switch (glyph) {
        case Artwork::Glyph::ArrowDown:
        case Artwork::Glyph::ArrowUp:
            return {10, 6};
        case Artwork::Glyph::CheckOff:
        case Artwork::Glyph::CheckOn:
            return {16, 16};
        default:
            return {20, 20};
    }
}

}  // namespace

QImage Artwork::logo() {
    QImage image = transparentImage(150, 50);
    QPainter painter(&image);
    beginPainting(painter);
    const QRectF emblem(8, 8, 34, 34);
    drawEmblem(painter, emblem);

    // The name in the space right of the emblem: "Calor" in the accent colour, "view" in the
    // text colour, as large as fits.
    const QString warm = QStringLiteral("Calor");
    const QString cool = QStringLiteral("view");
    const qreal left = emblem.right() + 7;
    const qreal room = image.width() - left - 4;
    QFont font(QStringLiteral("Noto Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::DemiBold);
    font.setPixelSize(20);
    while (font.pixelSize() > 10 && QFontMetricsF(font).horizontalAdvance(warm + cool) > room) {
        font.setPixelSize(font.pixelSize() - 1);
    }
    const QFontMetricsF metrics(font);
    const qreal baseline = image.height() / 2.0 + (metrics.ascent() - metrics.descent()) / 2.0;
    painter.setFont(font);
    painter.setPen(kAccent);
    painter.drawText(QPointF(left, baseline), warm);
    painter.setPen(kText);
    painter.drawText(QPointF(left + metrics.horizontalAdvance(warm), baseline), cool);
    return image;
}

QImage Artwork::mainIcon() {
    QImage image = transparentImage(256, 256);
    QPainter painter(&image);
    beginPainting(painter);
    drawEmblem(painter, QRectF(8, 8, 240, 240));
    return image;
}

QImage Artwork::alertError() {
    QPainterPath cross;
    cross.moveTo(10.5, 10.5);
    cross.lineTo(19.5, 19.5);
    cross.moveTo(19.5, 10.5);
    cross.lineTo(10.5, 19.5);
    return alertIcon(QColor(0xe5, 0x48, 0x4d), cross);
}

QImage Artwork::alertCorrectness() {
    QPainterPath tick;
    tick.moveTo(9.0, 15.5);
    tick.lineTo(13.2, 19.5);
    tick.lineTo(21.0, 10.5);
    return alertIcon(QColor(0x30, 0xa4, 0x6c), tick);
}

QImage Artwork::glyph(Glyph glyph) {
    const QSize size = glyphSize(glyph);
    QImage image = transparentImage(size.width(), size.height());
    QPainter painter(&image);
    beginPainting(painter);
    painter.setPen(roundPen(kGlyph, 1.6));
    painter.setBrush(Qt::NoBrush);
    switch (glyph) {
        case Glyph::Close:
            painter.drawLine(QPointF(5.5, 5.5), QPointF(14.5, 14.5));
            painter.drawLine(QPointF(14.5, 5.5), QPointF(5.5, 14.5));
            break;
        case Glyph::Minimise:
            painter.drawLine(QPointF(5, 10.5), QPointF(15, 10.5));
            break;
        case Glyph::Maximise:
            painter.drawRect(QRectF(5.5, 5.5, 9, 9));
            break;
        case Glyph::Restore:
            painter.drawRect(QRectF(4.5, 7.5, 8, 8));
            painter.drawPolyline(
                QList<QPointF>{{7.5, 7.5}, {7.5, 4.5}, {15.5, 4.5}, {15.5, 12.5}, {12.5, 12.5}});
            break;
        case Glyph::Menu:
            for (qreal y : {6.0, 10.0, 14.0}) {
                painter.drawLine(QPointF(5, y), QPointF(15, y));
            }
            break;
        case Glyph::ArrowDown:
            painter.setPen(roundPen(kGlyph, 1.5));
            painter.drawPolyline(QList<QPointF>{{1.5, 1.5}, {5, 4.5}, {8.5, 1.5}});
            break;
        case Glyph::ArrowUp:
            painter.setPen(roundPen(kGlyph, 1.5));
            painter.drawPolyline(QList<QPointF>{{1.5, 4.5}, {5, 1.5}, {8.5, 4.5}});
            break;
        case Glyph::CheckOff:
            painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1.2));
            painter.setBrush(QColor(0x1b, 0x1b, 0x1b));
            painter.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 3, 3);
            break;
        case Glyph::CheckOn:
            painter.setPen(QPen(kAccent, 1.2));
            painter.setBrush(kAccent);
            painter.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 3, 3);
            painter.setPen(roundPen(QColor(0x1a, 0x1a, 0x1a), 2.0));
            painter.drawPolyline(QList<QPointF>{{4.5, 8.3}, {7.0, 10.8}, {11.5, 5.3}});
            break;
    }
    return image;
}
