// The month calendar of the History page: a day with alarm episodes has a bar along its foot and
// their count in its corner, orange while some have not been looked at yet, grey when all have
// (dark on the selected day's orange). Today is selected when it is made.
//
// GUI thread only, like every widget.
#pragma once

#include <QCalendarWidget>
#include <map>
#include <memory>

#include "history/HistoryCatalog.h"

class HistoryCalendar : public QCalendarWidget {
    Q_OBJECT

public:
    explicit HistoryCalendar(QWidget* parent = nullptr);

    // Counts the shown month's days from `catalog` (kept alive by the calendar).
    void Show(std::shared_ptr<const HistoryCatalog> catalog);
    const std::map<QDate, HistoryCatalog::DayCount>& counts() const { return m_Counts; }

protected:
    void paintCell(QPainter* painter, const QRect& rect, QDate date) const override;

private:
    void Count();

    std::shared_ptr<const HistoryCatalog> m_pCatalog;
    std::map<QDate, HistoryCatalog::DayCount> m_Counts;  // the shown month, with its edges
};
