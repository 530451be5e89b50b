// The client's only top-level window: a frameless window with its own 50-pixel title bar (logo,
// "Live", "Setting" and "History" tabs, camera list, about/minimise/maximise/close buttons) over
// the live page, the settings page or the History page. It also finds the camera, connects to it on
// a timer and notices a camera that was unplugged or stopped sending.
//
// GUI thread only: every slot, timer and call into the connection manager runs there.
#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QWidget>

class AlarmWindow;
class DeviceNotifier;
class DlgAbout;
class HistoryPage;
class QAction;
class QButtonGroup;
class QComboBox;
class QLabel;
class QPushButton;
class SettingWindow;
class StorageKeeper;
class StreamWatch;
class Triangle;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTitleHeight = 50;
    static constexpr int kConnectPeriodMs = 1000;
    static constexpr int kReconnectPeriodMs = 2000;
    static constexpr int kStreamCheckPeriodMs = 2000;
    // The pause between a device-change notice and the list refill: the system needs a moment
    // before a new camera can be opened.
    static constexpr int kDeviceSettleMs = 100;
    static constexpr qint64 kStallLogPeriodMs = 10 * 60 * 1000;

    // `notifier` reports device changes; null builds the system's (udev and scenario files).
    explicit MainWindow(QWidget* parent = nullptr, DeviceNotifier* notifier = nullptr);
    // Closes the camera first, so no frame reaches a window that is being destroyed.
    ~MainWindow() override;

    // Supervision state, for the status bar of tests and diagnostics.
    int connectTimerId() const { return m_connectTimer; }
    int streamCheckTimerId() const { return m_streamCheckTimer; }
    int deviceCount() const { return m_DevNum; }
    int selectedCamera() const { return m_nSelectedCamera; }
    AlarmWindow* alarmWindow() const { return m_pAlarmWindow; }
    // Tells `keeper` (not owned; it outlives the window) what the pages write and change, and
    // offers its keep marks in the alarm viewer.
    void UseStorageKeeper(StorageKeeper* keeper);
    SettingWindow* settingWindow() const { return m_pSettingWindow; }
    HistoryPage* historyPage() const { return m_pHistoryPage; }
    // Whether the live picture is current (frames arriving, stalled, camera gone).
    StreamWatch* streamWatch() const { return m_pStreamWatch; }

    // Refills the camera list from the library's lookup (at start and on every device change).
    void updateDeviceList();
    // The run is ending: the camera is closed and never connected again, so no frame reaches
    // the pages (and no capture thread touches Qt) while they are torn down. A running
    // recording keeps its file, finished when the live page goes.
    void StopFrameDelivery();

signals:
    void deviceConnected();
    // The camera named `name` (as in the camera list) was connected, or was lost.
    void cameraConnected(const QString& name);
    void cameraDisconnected(const QString& name);

public slots:
    void onCloseButtonClicked();
    void onResizeButtonClicked();
    void onMinButtonClicked();
    void onMenuAlarmButtonClicked();
    void onMenuSettingButtonClicked();
    void onMenuHistoryButtonClicked();
    void onDeviceListCurrentIndexChanged(int index);
    void onAboutMenuClicked(QAction* checka);
    void onHelpMenuClicked();

protected:
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void onDeviceChanged(bool interfaceRemoved);
    void connectTimerTick();
    void streamCheckTimerTick();
    // The camera is gone: close it, hide the overlay until the next connection.
    void loseCamera();
    // Closes the camera: no recording goes on, the overlay hides until the next connection.
    // A camera closed only to be opened again after a stall is not said to be gone: the stream
    // watch tells a long stall itself.
    void closeCamera();
    // Tells cameraConnected or cameraDisconnected, unless that was the last news already.
    void announceCamera(bool connected);
    // The stream sent nothing for a while with the camera still listed: open it again.
    void reopenStalledCamera();
    void startConnectTimer(int periodMs);
    void placeTabMarker(QPushButton* tab);
    void showPage(QWidget* page, QPushButton* tab);
    // "History", with the count of episodes not yet reviewed.
    void setHistoryTitle(int unreviewed);

    QLabel* m_pTitle;
    QPushButton* m_pMenuAlarm;
    QPushButton* m_pMenuSetting;
    QPushButton* m_pMenuHistory;
    QComboBox* m_pDeviceList;
    QPushButton* m_pClose;
    QPushButton* m_pResize;
    QPushButton* m_pMin;
    QPushButton* m_pAbout;
    QAction* m_alarmLog = nullptr;
    QAction* m_help = nullptr;
    QAction* m_about = nullptr;
    QButtonGroup* m_pTabGroup;
    AlarmWindow* m_pAlarmWindow;
    SettingWindow* m_pSettingWindow;
    HistoryPage* m_pHistoryPage;
    DlgAbout* m_pDlgAbout;  // no parent; deleted by the destructor
    QWidget* m_pLine;
    Triangle* m_pTabMarker;
    DeviceNotifier* m_pNotifier;
    StreamWatch* m_pStreamWatch;

    bool m_bMaximized = false;
    QRect m_NormalGeometry;
    int m_connectTimer = 0;
    int m_streamCheckTimer = 0;
    int m_nSelectedCamera = 0;
    int m_DevNum = 0;
    // The name of the camera connected last.
    QString m_ConnectedCamera;
    bool m_bClosing = false;          // StopFrameDelivery was called: no more connections
    bool m_bCameraAnnounced = false;  // the last camera news was cameraConnected
    bool m_bReopening = false;        // closed after a stall, to be opened again
    // Reopenings of a camera that sent nothing, not yet logged, and when the last was logged.
    int m_stalledReopenings = 0;
    QElapsedTimer m_stallLogged;
};
