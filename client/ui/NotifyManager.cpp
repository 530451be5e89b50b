#include "ui/NotifyManager.h"

#include <QFont>
#include <QFontMetrics>
#include <QWidget>

#include "ui/NotifyWidget.h"

void ShowNotify(const QString& text, bool isError) {
    NotifyManager::instance()->AddNotify(text, isError);
}

void ShowSuccessNotify(const QString& text) {
    ShowNotify(text, false);
}

void SetNotifyArea(QWidget* parent, int x, int y, int width, int height) {
    NotifyManager::instance()->SetArea(parent, QRect(x, y, width, height));
}

NotifyManager* NotifyManager::instance() {
    // First use is on the GUI thread during start-up; never destroyed, like the other managers.
    static NotifyManager* manager = new NotifyManager;
    return manager;
}

int NotifyManager::ToastHeight(int textWidth) {
    return textWidth > 223 ? 60 : 40;
}

void NotifyManager::SetArea(QWidget* parent, const QRect& area) {
    m_pParent = parent;
    m_Area = area;
}

void NotifyManager::AddNotify(const QString& text, bool isError) {
    if (m_pParent == nullptr) {
        return;
    }
    auto* toast = new NotifyWidget(m_pParent);
    toast->SetManager(this);
    toast->SetContent(text, isError);

    QFont font("MicrosoftYaHei");
    font.setPointSize(12);
    const int textWidth = QFontMetrics(font).boundingRect(text).width();
    toast->setFixedSize(m_Area.width(), ToastHeight(textWidth));

    const QRect parentRect = m_pParent->rect();
    toast->move((parentRect.width() - toast->width()) / 2,
                (parentRect.height() - toast->height()) / 2);
    toast->raise();
    toast->show();
    toast->StartFade(kHoldMs);
    m_Toasts.append(toast);
}

void NotifyManager::RemoveNotify(NotifyWidget* toast) {
    m_Toasts.removeOne(toast);
}
