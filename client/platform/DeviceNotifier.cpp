#include "platform/DeviceNotifier.h"

#include <libudev.h>

#include <QFileInfo>
#include <QSocketNotifier>

namespace {

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

}  // namespace

DeviceNotifier::DeviceNotifier(QObject* parent)
    : DeviceNotifier(scenarioFilesFromEnvironment(), true, parent) {}

DeviceNotifier::DeviceNotifier(const QStringList& scenarioFiles, bool useUdev, QObject* parent)
    : QObject(parent), m_scenarioFiles(scenarioFiles) {
    if (useUdev) {
        startUdev();
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

void DeviceNotifier::startUdev() {
    m_udev = udev_new();
    if (m_udev == nullptr) {
        return;
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
        return;
    }
    m_udevNotifier =
        new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_udevNotifier, &QSocketNotifier::activated, this, &DeviceNotifier::readUdev);
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
    for (const QString& file : m_scenarioFiles) {
        const bool present = QFileInfo::exists(file);
        if (present && !m_presentFiles.contains(file)) {
            m_presentFiles.insert(file);
            emit deviceChanged(Change::kArrival);
        } else if (!present && m_presentFiles.remove(file)) {
            emit deviceChanged(Change::kRemoveComplete);
        }
    }
}
