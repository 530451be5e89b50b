// Tells the main window when devices come and go: USB and video4linux devices through a udev
// monitor, and the virtual cameras' scenario files (FRAMEGATE_VIRTUAL_CAMERA) appearing and
// disappearing. Where the monitor cannot start (no udev daemon, as in a container) it says so once
// in the log and lists the video4linux devices every 2 s instead, reporting what came and went
// exactly as the monitor would. CALORVIEW_TEST_UDEV_MONITOR=1 starts the monitor without a
// daemon, for tests on an emulated system (umockdev sends its events to the monitors itself).
// Lives on the GUI thread; its signal is emitted there.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

class QSocketNotifier;
struct udev;
struct udev_monitor;

class DeviceNotifier : public QObject {
    Q_OBJECT
public:
    enum class Change {
        kArrival,         // a device (interface) was added
        kRemoveComplete,  // a device interface was removed
        kOther,           // anything else udev reports (bind, change, ...)
    };
    Q_ENUM(Change)

    // How real devices are watched.
    enum class HotPlug {
        kNone,    // not at all: only the scenario files are watched
        kUdev,    // the udev monitor, or the re-scan when the monitor cannot start
        kRescan,  // the re-scan only
    };
    static constexpr int kRescanPeriodMs = 2000;

    // The system's notifier: udev (or the re-scan) and the files of FRAMEGATE_VIRTUAL_CAMERA.
    explicit DeviceNotifier(QObject* parent = nullptr);
    // `sysfsRoot` is where the re-scan lists "class/video4linux".
    DeviceNotifier(const QStringList& scenarioFiles, HotPlug hotPlug, QObject* parent = nullptr,
                   const QString& sysfsRoot = QStringLiteral("/sys"));
    ~DeviceNotifier() override;

signals:
    void deviceChanged(DeviceNotifier::Change change);

private:
    // Empty on success, otherwise why the monitor cannot run.
    QString startUdev();
    void readUdev();
    void startRescan(const QString& reason);
    void rescanVideoDevices();
    void watchScenarioFiles();
    void rescanScenarioFiles();
    // Remembers `present` as the known set and reports each member that came or went.
    void reportDifferences(QSet<QString>* known, const QSet<QString>& present);

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_udevNotifier = nullptr;

    QString m_sysfsRoot;
    QSet<QString> m_presentDevices;
    QTimer m_rescanTimer;

    QStringList m_scenarioFiles;
    QSet<QString> m_presentFiles;
    QFileSystemWatcher m_watcher;
};
