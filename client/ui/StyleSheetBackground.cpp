#include "ui/StyleSheetBackground.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QWidget>

void paintStyleSheetBackground(QWidget* widget, QPainter* painter) {
    QStyleOption option;
    option.initFrom(widget);
    widget->style()->drawPrimitive(QStyle::PE_Widget, &option, painter, widget);
}
