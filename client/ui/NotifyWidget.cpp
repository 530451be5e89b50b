#include "ui/NotifyWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTimerEvent>

#include "ui/NotifyManager.h"

namespace {

QString& SkinFolder() {
    static QString folder = QStringLiteral("./Skin");  // GUI thread
    return folder;
}

}  // namespace

NotifyWidget::NotifyWidget(QWidget* parent)
    : QWidget(parent), m_pText(new QLabel(this)), m_pIcon(new QWidget) {
    auto* iconHolder = new QWidget(this);
    auto* iconLayout = new QHBoxLayout(iconHolder);
    iconLayout->setContentsMargins(10, 0, 0, 0);
    iconLayout->addWidget(m_pIcon);
    iconHolder->setStyleSheet(
        "background-color:#515151;border-radius:0;border-top-left-radius:2px;"
        "border-bottom-left-radius:2px;");

    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->addWidget(iconHolder);
    layout->addWidget(m_pText);

    m_pText->setWordWrap(true);
    m_pText->setMargin(10);
    m_pText->setMinimumHeight(0);
    m_pText->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_pText->setStyleSheet("QLabel{background-color:#515151;}");

    m_pIcon->setFixedSize(30, 30);

    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_TranslucentBackground);
    setStyleSheet("border-top-right-radius:2px;border-bottom-right-radius:2px;");
}

NotifyWidget::~NotifyWidget() {
    // A toast also dies with its parent before its fade ends; the manager must not keep it.
    if (m_pManager != nullptr) {
        m_pManager->RemoveNotify(this);
    }
}

void NotifyWidget::SetSkinFolder(const QString& folder) {
    SkinFolder() = folder;
}

void NotifyWidget::SetContent(const QString& text, bool isError) {
    m_pIcon->setStyleSheet(
        QString("QWidget{background-image:url(%1/%2);}")
            .arg(SkinFolder(), isError ? "alert_error.png" : "alert_correctness.png"));
    m_pText->setText(text);
}

void NotifyWidget::StartFade(int holdMs) {
    if (m_nTimerId != -1) {
        return;
    }
    m_dOpacity = 1.0;
    m_nTimerId = startTimer(kFadeTickMs);
    m_nHoldTime = holdMs;
    m_nElapsed = 0;
}

void NotifyWidget::timerEvent(QTimerEvent* event) {
    if (m_nTimerId == -1 || event->timerId() != m_nTimerId) {
        QWidget::timerEvent(event);
        return;
    }
    m_nElapsed += kFadeTickMs;
    if (m_nElapsed > m_nHoldTime) {
        m_dOpacity -= 1.0;
    }
    setWindowOpacity(m_dOpacity);
    if (m_dOpacity <= 0.0) {
        killTimer(m_nTimerId);
        m_nTimerId = -1;
        if (m_pManager != nullptr) {
            m_pManager->RemoveNotify(this);
        }
        close();
    }
}
