#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QVector>

class NotifyWidget;
class QWidget;

// Toasts: short success/error messages centred over the main window for about one second.
// Everything here runs on the GUI thread only; nothing is locked. Texts arrive already translated.

// Shows a toast; dropped silently until SetNotifyArea has named a parent widget.
void ShowNotify(const QString& text, bool isError);
void ShowSuccessNotify(const QString& text);
// Toasts go onto `parent`; every toast is `width` pixels wide (x, y and height are kept, unused).
void SetNotifyArea(QWidget* parent, int x, int y, int width, int height);

// The process-wide toast tracker; created on first use, never destroyed.
class NotifyManager : public QObject {
    Q_OBJECT

public:
    // How long every toast stays before it closes.
    static constexpr int kHoldMs = 1000;

    static NotifyManager* instance();
    // Toast height for a text this many pixels wide (MicrosoftYaHei 12 pt): wide texts wrap.
    static int ToastHeight(int textWidth);

    void AddNotify(const QString& text, bool isError);
    void SetArea(QWidget* parent, const QRect& area);

    // Toasts currently shown, oldest first.
    const QVector<NotifyWidget*>& Toasts() const { return m_Toasts; }
    QWidget* ParentWidget() const { return m_pParent; }

    // Called by a toast when it closes or is destroyed with its parent.
    void RemoveNotify(NotifyWidget* toast);

private:
    NotifyManager() = default;

    QVector<NotifyWidget*> m_Toasts;
    // Guarded: the main window may be destroyed before a late toast request at exit.
    QPointer<QWidget> m_pParent;
    QRect m_Area;
};
