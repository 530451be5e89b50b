// The whole desktop, on which the main window and the about dialog are centred: the union of all
// screens' geometries. Beside a primary screen at (0, 0) another screen may lie to the left or
// above, so the union need not start at (0, 0). GUI thread.
#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

// The union of `screens`; empty when there are none.
QRect desktopGeometry(const QList<QRect>& screens);
// The union of QGuiApplication::screens().
QRect desktopGeometry();
// The top-left corner that centres a window of `size` on `desktop`: half the spare width and
// height (truncated toward zero, so a larger window overhangs evenly) from the desktop's corner.
QPoint centredOn(const QRect& desktop, const QSize& size);
