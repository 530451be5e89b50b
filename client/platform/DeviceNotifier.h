// Tells the main window when devices come and go: USB and video4linux devices through a udev
// monitor, and the virtual cameras' scenario files (FRAMEGATE_VIRTUAL_CAMERA) appearing and
// disappearing. Lives on the GUI thread; its signal is emitted there.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QStringList>

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

    // `scenarioFiles`: the virtual cameras' files to watch (from FRAMEGATE_VIRTUAL_CAMERA when
    // not given). Without udev (no permission, no daemon) only the files are watched.
    explicit DeviceNotifier(QObject* parent = nullptr);
    DeviceNotifier(const QStringList& scenarioFiles, bool useUdev, QObject* parent = nullptr);
    ~DeviceNotifier() override;

    // False when the udev monitor could not be set up (hot-plug of real cameras is then only
    // seen at start-up).
    bool monitoring() const { return m_monitor != nullptr; }

signals:
    void deviceChanged(DeviceNotifier::Change change);

private:
    void startUdev();
    void readUdev();
    void watchScenarioFiles();
    void rescanScenarioFiles();

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_udevNotifier = nullptr;

    QStringList m_scenarioFiles;
    QSet<QString> m_presentFiles;
    QFileSystemWatcher m_watcher;
};
