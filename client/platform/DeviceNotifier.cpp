#include "platform/DeviceNotifier.h"

#include <libudev.h>

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QtGlobal>

namespace {

// The udev daemon's control socket. Without a daemon libudev still hands out a monitor, but
// nobody ever sends it an event.
constexpr const char* kUdevControl = "/run/udev/control";

QStringList scenarioFilesFromEnvironment() {
    QStringList files;
    const QString value = QString::fromLocal8Bit(qgetenv("FRAMEGATE_VIRTUAL_CAMERA"));
    for (const QString& entry : value.split(':', Qt::SkipEmptyParts)) {
        if (entry != "demo") {
            files << QFileInfo(entry).absoluteFilePath();
        }
    }
    return files;
}

// The names the camera library enumerates ("video0", ...): links in the class folder.
QSet<QString> videoDevices(const QString& sysfsRoot) {
    const QStringList names =
        QDir(sysfsRoot + "/class/video4linux")
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return QSet<QString>(names.begin(), names.end());
}

}  // namespace

DeviceNotifier::DeviceNotifier(QObject* parent)
    : DeviceNotifier(scenarioFilesFromEnvironment(), HotPlug::kUdev, parent) {}

DeviceNotifier::DeviceNotifier(const QStringList& scenarioFiles, HotPlug hotPlug, QObject* parent,
                               const QString& sysfsRoot)
    : QObject(parent), m_sysfsRoot(sysfsRoot), m_scenarioFiles(scenarioFiles) {
    if (hotPlug == HotPlug::kUdev) {
        const QString problem = startUdev();
        if (!problem.isEmpty()) {
            startRescan(problem);
        }
    } else if (hotPlug == HotPlug::kRescan) {
        startRescan("no udev monitor wanted");
    }
    watchScenarioFiles();
}

DeviceNotifier::~DeviceNotifier() {
    if (m_monitor != nullptr) {
        udev_monitor_unref(m_monitor);
    }
    if (m_udev != nullptr) {
        udev_unref(m_udev);
    }
}

QString DeviceNotifier::startUdev() {
    // The test switch: an emulated system (umockdev) sends its events to libudev's monitors
    // without a daemon.
    if (!QFileInfo::exists(kUdevControl) &&
        qEnvironmentVariableIntValue("CALORVIEW_TEST_UDEV_MONITOR") == 0) {
        return QStringLiteral("no udev daemon (%1 missing)").arg(kUdevControl);
    }
    m_udev = udev_new();
    if (m_udev == nullptr) {
        return QStringLiteral("udev_new failed");
    }
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "video4linux", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        if (m_monitor != nullptr) {
            udev_monitor_unref(m_monitor);
            m_monitor = nullptr;
        }
        return QStringLiteral("the udev monitor cannot be set up");
    }
    m_udevNotifier =
        new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_udevNotifier, &QSocketNotifier::activated, this, &DeviceNotifier::readUdev);
    return QString();
}

void DeviceNotifier::readUdev() {
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const QByteArray action = udev_device_get_action(device);
        udev_device_unref(device);
        if (action == "add") {
            emit deviceChanged(Change::kArrival);
        } else if (action == "remove") {
            emit deviceChanged(Change::kRemoveComplete);
        } else {
            emit deviceChanged(Change::kOther);
        }
    }
}

void DeviceNotifier::startRescan(const QString& reason) {
    qWarning("DeviceNotifier: %s; hot-plug by listing the video devices every %d ms",
             qPrintable(reason), kRescanPeriodMs);
    m_presentDevices = videoDevices(m_sysfsRoot);
    connect(&m_rescanTimer, &QTimer::timeout, this, &DeviceNotifier::rescanVideoDevices);
    m_rescanTimer.start(kRescanPeriodMs);
}

void DeviceNotifier::rescanVideoDevices() {
    reportDifferences(&m_presentDevices, videoDevices(m_sysfsRoot));
}

void DeviceNotifier::watchScenarioFiles() {
    if (m_scenarioFiles.isEmpty()) {
        return;
    }
    // Folders too: a deleted file drops out of the watch, and its re-creation shows only as a
    // change of its folder.
    QSet<QString> folders;
    for (const QString& file : m_scenarioFiles) {
        folders.insert(QFileInfo(file).absolutePath());
        if (QFileInfo::exists(file)) {
            m_presentFiles.insert(file);
        }
    }
    m_watcher.addPaths(QStringList(folders.begin(), folders.end()));
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this,
            &DeviceNotifier::rescanScenarioFiles);
}

void DeviceNotifier::rescanScenarioFiles() {
    QSet<QString> present;
    for (const QString& file : m_scenarioFiles) {
        if (QFileInfo::exists(file)) {
            present.insert(file);
        }
    }
    reportDifferences(&m_presentFiles, present);
}

void DeviceNotifier::reportDifferences(QSet<QString>* known, const QSet<QString>& present) {
    const qsizetype arrived = (present - *known).size();
    const qsizetype removed = (*known - present).size();
    // The state is settled before anyone hears of it.
    *known = present;
    for (qsizetype i = 0; i < arrived; ++i) {
        emit deviceChanged(Change::kArrival);
    }
    for (qsizetype i = 0; i < removed; ++i) {
        emit deviceChanged(Change::kRemoveComplete);
    }
}
