#include "alarm/AlarmItem.h"

#include <QFont>
#include <QLabel>
#include <QPixmap>

AlarmItem::AlarmItem(QWidget* list)
    : QWidget(list), m_pTime(new QLabel(this)), m_pPicture(new QLabel(this)) {
    setObjectName("AlarmItem");
    resize(kWidth, kHeight);
    QFont small;
    small.setPixelSize(12);
    m_pTime->setObjectName("ShowTime");
    m_pTime->setGeometry(0, 0, kWidth, 24);
    m_pTime->setFont(small);
    m_pTime->setStyleSheet("QLabel{background:#4b4b4b;}");
    m_pPicture->setGeometry(10, 29, 80, 106);
    // Created in the order the list has always had: time, picture, caption, value.
    auto* caption = new QLabel(tr("Temperature:"), this);
    caption->setGeometry(120, 54, 126, 24);
    caption->setFont(small);
    m_pValue = new QLabel(this);
    m_pValue->setGeometry(150, 78, 96, 48);
    QFont large;
    large.setPixelSize(20);
    large.setBold(true);
    m_pValue->setFont(large);
}

void AlarmItem::ShowAlarm(const QString& path, const QString& time1, const QImage& thumbnail,
                          const QString& value) {
    setProperty("path", path);
    m_pTime->setText(time1);
    m_pPicture->setPixmap(QPixmap::fromImage(thumbnail));
    m_pValue->setText(value);
}
