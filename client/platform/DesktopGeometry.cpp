#include "platform/DesktopGeometry.h"

#include <QGuiApplication>
#include <QScreen>

QRect desktopGeometry(const QList<QRect>& screens) {
    QRect desktop;
    for (const QRect& screen : screens) {
        desktop = desktop.united(screen);
    }
    return desktop;
}

QRect desktopGeometry() {
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        screens.append(screen->geometry());
    }
    return desktopGeometry(screens);
}

QPoint centredOn(const QRect& desktop, const QSize& size) {
    return desktop.topLeft() +
           QPoint((desktop.width() - size.width()) / 2, (desktop.height() - size.height()) / 2);
}
