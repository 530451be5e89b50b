#include "history/HistoryCalendar.h"

#include <QPainter>
#include <algorithm>

HistoryCalendar::HistoryCalendar(QWidget* parent) : QCalendarWidget(parent) {
    setObjectName("HistoryCalendar");
    setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    setSelectedDate(QDate::currentDate());
    setMinimumHeight(250);  // cells tall enough for the count above the day's number
    connect(this, &QCalendarWidget::currentPageChanged, this, [this] { Count(); });
}

void HistoryCalendar::Show(std::shared_ptr<const HistoryCatalog> catalog) {
    m_pCatalog = std::move(catalog);
    Count();
}

void HistoryCalendar::Count() {
    // The grid shows up to six weeks: the days of the months beside it too.
    const QDate first(yearShown(), monthShown(), 1);
    m_Counts = m_pCatalog != nullptr ? m_pCatalog->Days(first.addDays(-7), first.addDays(49))
                                     : std::map<QDate, HistoryCatalog::DayCount>{};
    updateCells();
}

void HistoryCalendar::paintCell(QPainter* painter, const QRect& rect, QDate date) const {
    QCalendarWidget::paintCell(painter, rect, date);
    const auto found = m_Counts.find(date);
    if (found == m_Counts.end() || found->second.episodes == 0) {
        return;
    }
    // A bar along the cell's foot marks the day, the count sits in its top-right corner: the
    // day's number in the middle stays free.
    const bool selected = date == selectedDate();
    const QColor colour = selected                       ? QColor("#141414")
                          : found->second.unreviewed > 0 ? QColor("#ff7a2f")
                                                         : QColor("#8a8a8a");
    painter->save();
    painter->fillRect(QRect(rect.left() + 4, rect.bottom() - 3, rect.width() - 8, 3), colour);
    QFont font = painter->font();
    font.setPixelSize(std::max(8, rect.height() / 3));
    painter->setFont(font);
    painter->setPen(colour);
    painter->drawText(rect.adjusted(2, 1, -3, -1), Qt::AlignRight | Qt::AlignTop,
                      found->second.episodes > 999 ? QStringLiteral("999+")
                                                   : QString::number(found->second.episodes));
    painter->restore();
}
