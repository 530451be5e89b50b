#include "history/DayChart.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kMargin = 24;  // room for the hour labels below and a little above
constexpr int kBarWidth = 3;

}  // namespace

DayChart::DayChart(QWidget* parent) : QWidget(parent) {
    setObjectName("DayChart");
    setMinimumHeight(90);
}

void DayChart::Show(std::shared_ptr<const HistoryCatalog> catalog, QDate day, long selected) {
    m_pCatalog = std::move(catalog);
    m_Day = day;
    m_nSelected = selected;
    m_Episodes = m_pCatalog != nullptr ? m_pCatalog->Day(day) : std::vector<size_t>{};
    update();
}

QRect DayChart::PlotArea() const {
    return rect().adjusted(kMargin, kMargin / 2, -kMargin, -kMargin);
}

int DayChart::XOf(int secondsOfDay) const {
    const QRect area = PlotArea();
    return area.left() +
           static_cast<int>(static_cast<int64_t>(area.width()) * secondsOfDay / 86400);
}

void DayChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = PlotArea();
    painter.setPen(QColor("#2b2b2b"));
    painter.drawLine(area.bottomLeft(), area.bottomRight());
    painter.setPen(QColor("#8a8a8a"));
    for (int hour = 0; hour <= 24; hour += 3) {
        const int x = XOf(hour * 3600);
        painter.drawLine(x, area.bottom(), x, area.bottom() + 4);
        painter.drawText(QRect(x - 20, area.bottom() + 5, 40, kMargin - 6), Qt::AlignCenter,
                         QString::number(hour));
    }
    if (m_pCatalog == nullptr || m_Episodes.empty()) {
        return;
    }
    double low = INFINITY;
    double high = -INFINITY;
    for (const size_t e : m_Episodes) {
        const HistoryCatalog::Episode& episode = m_pCatalog->episodes()[e];
        if (episode.hasPeak) {
            low = std::min(low, episode.peak);
            high = std::max(high, episode.peak);
        }
    }
    // A tenth of the height at the day's lowest peak, all of it at the highest.
    const auto height = [&](const HistoryCatalog::Episode& episode) {
        if (!episode.hasPeak) {
            return area.height() / 10;
        }
        const double share = high > low ? (episode.peak - low) / (high - low) : 1.0;
        return static_cast<int>(area.height() * (0.1 + 0.9 * share));
    };
    for (const size_t e : m_Episodes) {
        const HistoryCatalog::Episode& episode = m_pCatalog->episodes()[e];
        const int x = XOf(episode.secondOfDay);
        const int h = std::max(2, height(episode));
        const bool selected = static_cast<long>(e) == m_nSelected;
        const QColor colour = !episode.hasPeak   ? QColor("#6b6b6b")
                              : selected         ? QColor("#ffffff")
                              : episode.reviewed ? QColor("#b0602f")
                                                 : QColor("#ff7a2f");
        painter.fillRect(QRect(x - kBarWidth / 2, area.bottom() - h, kBarWidth, h), colour);
    }
}

void DayChart::mousePressEvent(QMouseEvent* event) {
    if (m_pCatalog == nullptr || m_Episodes.empty()) {
        return;
    }
    const int x = event->position().toPoint().x();
    const auto nearest =
        std::min_element(m_Episodes.begin(), m_Episodes.end(), [&](size_t a, size_t b) {
            return std::abs(XOf(m_pCatalog->episodes()[a].secondOfDay) - x) <
                   std::abs(XOf(m_pCatalog->episodes()[b].secondOfDay) - x);
        });
    emit episodeClicked(*nearest);
}
