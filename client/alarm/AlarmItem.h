// One entry of the alarm list: the alarm's display time, a thumbnail of its snapshot, and its
// temperature. The list keeps at most 65 of them and reuses the oldest for a new alarm, so the
// labels, their fonts and the time label's style sheet are made and polished once per item,
// not once per alarm, and no item is ever deleted while an event of its own is being delivered.
//
// GUI thread only, like every widget.
#pragma once

#include <QWidget>

class QLabel;

class AlarmItem : public QWidget {
public:
    static constexpr int kWidth = 256;
    static constexpr int kHeight = 140;
    static constexpr int kThumbnailWidth = 80;
    static constexpr int kThumbnailHeight = 100;

    // An empty item, child of the alarm list widget.
    explicit AlarmItem(QWidget* list);

    // Shows an alarm: its snapshot `path` (the "path" property), display time `time1`,
    // `thumbnail` (kThumbnailWidth x kThumbnailHeight) and temperature text `value`.
    void ShowAlarm(const QString& path, const QString& time1, const QImage& thumbnail,
                   const QString& value);

private:
    QLabel* m_pTime;
    QLabel* m_pPicture;
    QLabel* m_pValue;
};
