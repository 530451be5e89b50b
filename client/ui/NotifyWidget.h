#pragma once

#include <QWidget>

class NotifyManager;
class QLabel;

// One toast: icon and text on a dark box; closes itself (and is deleted) about one second after
// StartFade. GUI thread only, like every widget.
class NotifyWidget : public QWidget {
    Q_OBJECT

public:
    // Fade tick of the toast's own timer.
    static constexpr int kFadeTickMs = 40;

    explicit NotifyWidget(QWidget* parent);
    ~NotifyWidget() override;

    void SetManager(NotifyManager* manager) { m_pManager = manager; }
    void SetContent(const QString& text, bool isError);
    // The folder of the toast icons, "./Skin" unless the program's resources lie elsewhere (the
    // installed form). Set once at start, on the GUI thread.
    static void SetSkinFolder(const QString& folder);
    // Starts the fade timer; ignored while one already runs.
    void StartFade(int holdMs);

    int FadeTimerId() const { return m_nTimerId; }
    double Opacity() const { return m_dOpacity; }
    int HoldTime() const { return m_nHoldTime; }
    const QLabel* TextLabel() const { return m_pText; }
    const QWidget* Icon() const { return m_pIcon; }

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    NotifyManager* m_pManager = nullptr;
    QLabel* m_pText;
    QWidget* m_pIcon;
    int m_nTimerId = -1;
    double m_dOpacity = -1.0;
    int m_nHoldTime = 10;
    int m_nElapsed = 10;
};
