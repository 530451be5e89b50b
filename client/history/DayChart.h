// The chosen day at a glance: the 24 hours along the bottom, each alarm episode a bar at its
// start time whose height is its peak temperature (between the day's lowest and highest peak;
// an episode without a logged peak is a short grey mark). A click selects the nearest episode.
//
// GUI thread only, like every widget.
#pragma once

#include <QDate>
#include <QWidget>
#include <memory>
#include <vector>

#include "history/HistoryCatalog.h"

class DayChart : public QWidget {
    Q_OBJECT

public:
    explicit DayChart(QWidget* parent = nullptr);

    // Shows `day` of `catalog` (kept alive by the chart); `selected` is an index into its
    // episodes, or -1.
    void Show(std::shared_ptr<const HistoryCatalog> catalog, QDate day, long selected);
    // The x of a time of day (seconds since midnight) in the chart's current width.
    int XOf(int secondsOfDay) const;

signals:
    void episodeClicked(size_t episode);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QRect PlotArea() const;

    std::shared_ptr<const HistoryCatalog> m_pCatalog;
    std::vector<size_t> m_Episodes;  // the day's, newest first
    QDate m_Day;
    long m_nSelected = -1;
};
