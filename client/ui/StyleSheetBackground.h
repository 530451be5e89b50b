// Plain QWidget subclasses draw no style-sheet background by themselves; their paintEvent calls
// this first. GUI thread.
#pragma once

class QPainter;
class QWidget;

void paintStyleSheetBackground(QWidget* widget, QPainter* painter);
