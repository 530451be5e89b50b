// The small orange marker under the selected tab of the title bar.
#pragma once

#include <QWidget>

class Triangle : public QWidget {
    Q_OBJECT
public:
    explicit Triangle(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};
