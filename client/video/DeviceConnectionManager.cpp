#include "video/DeviceConnectionManager.h"

#include <QtGlobal>

#include "framegate/SDK_USB.h"
#include "platform/DiskSpace.h"
#include "video/CameraSize.h"
#include "video/StreamCallback.h"

DeviceConnectionManager* DeviceConnectionManager::instance() {
    // Never destroyed: the capture thread may still look at it while the process exits.
    static DeviceConnectionManager* const manager = new DeviceConnectionManager;
    return manager;
}

int DeviceConnectionManager::ConnectToDev(int index) {
    if (index == -1) {
        return false;
    }
    if (m_ConnectDev.bConnected && m_ConnectDev.nCamID == index) {
        return false;
    }
    if (m_ConnectDev.bConnected) {
        UinitUSBCam(m_ConnectDev.nCamID);
        m_ConnectDev.bConnected = false;
    }
    if (InitUSBCam(index, kCameraWidth, kCameraHeight, 0, 0) == 0) {
        m_ConnectDev.nCamID = index;
        m_ConnectDev.bConnected = true;
    }
    return m_ConnectDev.bConnected;
}

void DeviceConnectionManager::CloseCamera() {
    qDebug("UinitUSBCam  m_ConnectDev.nCamID:%d", m_ConnectDev.nCamID);
    UinitUSBCam(m_ConnectDev.nCamID);
    m_ConnectDev.bConnected = false;
}

int DeviceConnectionManager::DisconnectDev() {
    if (m_ConnectDev.bConnected) {
        CloseCamera();
    }
    m_AlarmRegistered.store(0, std::memory_order_release);
    m_AlarmConsumer.store(nullptr, std::memory_order_release);
    return true;
}

int DeviceConnectionManager::IsConnected() const {
    return m_ConnectDev.bConnected ? 1 : 0;
}

int DeviceConnectionManager::RegisterFrameConsumer(FrameConsumer consumer, void* user) {
    m_FrameUser.store(user, std::memory_order_release);
    m_FrameConsumer.store(consumer, std::memory_order_release);
    if (m_ConnectDev.bConnected &&
        RegisterUSBStreamCallBack(m_ConnectDev.nCamID, OnStreamFrame) == -1) {
        CloseCamera();
    }
    return true;
}

int DeviceConnectionManager::UnregisterFrameConsumer() {
    if (m_ConnectDev.bConnected) {
        CloseCamera();
    }
    m_FrameConsumer.store(nullptr, std::memory_order_release);
    m_FrameUser.store(nullptr, std::memory_order_release);
    return true;
}

int DeviceConnectionManager::RegisterAlarmConsumer(AlarmConsumer consumer, void* /*context*/) {
    if (m_ConnectDev.bConnected && m_AlarmRegistered.load(std::memory_order_acquire) == 0) {
        m_AlarmConsumer.store(consumer, std::memory_order_release);
        m_AlarmRegistered.store(1, std::memory_order_release);
    }
    return true;
}

int DeviceConnectionManager::ReleaseAlarmConsumer() {
    return true;
}

int DeviceConnectionManager::GetDiskFreeSpace(const char* directory, uint64_t* freeBytes) const {
    return DiskSpace::Current().FreeBytes(directory, freeBytes) ? 1 : 0;
}
