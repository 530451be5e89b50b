// The one connection to the camera: opens and closes it through Framegate's plain exports,
// registers the stream callback, and holds the two consumers the callback feeds.
//
// Threads: every operation runs on the GUI thread. The capture thread reads only the consumer
// fields (FrameConsumerOf, FrameUserOf, AlarmConsumerOf, IsAlarmConsumerRegistered) and the
// connected flag (IsConnected, for the alarm intake); they are atomics, and safety rests on their
// order: a consumer is published before anything that lets the capture thread use it, and the
// camera is closed (which ends delivery) before one is cleared.
//
// Shutdown: the alarm panel's destructor runs before the video window's, which is what closes
// the camera. The main window therefore calls DisconnectDev() before its pages are destroyed, so
// no alarm frame reaches a panel that is being torn down.
#pragma once

#include <atomic>
#include <cstdint>

#include "video/FrameConsumers.h"

class DeviceConnectionManager {
public:
    // The single manager, created on first use and never destroyed.
    static DeviceConnectionManager* instance();

    // Opens camera `index` (480 x 640); true when a camera is open afterwards. False, changing
    // nothing, for -1 or the camera already open; another open camera is closed first.
    int ConnectToDev(int index);
    // Closes the camera if open and forgets the alarm consumer (the frame consumer stays).
    int DisconnectDev();
    // Any thread.
    int IsConnected() const;
    // Stores the consumer, then registers the stream callback if connected; a refused
    // registration closes the camera. Always true: IsConnected() tells the outcome.
    int RegisterFrameConsumer(FrameConsumer consumer, void* user);
    // Closes the camera if open, then forgets the frame consumer. Always true.
    int UnregisterFrameConsumer();
    // Only while connected and none is registered; `context` is not kept. Always true.
    int RegisterAlarmConsumer(AlarmConsumer consumer, void* context);
    // Changes nothing: alarm delivery goes on until the camera is closed. Always true.
    int ReleaseAlarmConsumer();
    // Bytes the user may still write below `directory`; non-zero on success. Any thread.
    int GetDiskFreeSpace(const char* directory, uint64_t* freeBytes) const;

    // Read by the stream callback on the capture thread.
    FrameConsumer FrameConsumerOf() const {
        return m_FrameConsumer.load(std::memory_order_acquire);
    }
    void* FrameUserOf() const { return m_FrameUser.load(std::memory_order_acquire); }
    AlarmConsumer AlarmConsumerOf() const {
        return m_AlarmConsumer.load(std::memory_order_acquire);
    }
    bool IsAlarmConsumerRegistered() const {
        return m_AlarmRegistered.load(std::memory_order_acquire) != 0;
    }

private:
    DeviceConnectionManager() = default;
    // UinitUSBCam with its log line; delivery has ended when it returns.
    void CloseCamera();

    struct ConnectedDevice {
        int nCamID = -1;  // keeps the last index after a close
        // Written on the GUI thread; the alarm intake asks IsConnected() on the capture thread.
        std::atomic<bool> bConnected{false};
    };
    ConnectedDevice m_ConnectDev;  // GUI thread only, but for reading bConnected
    std::atomic<FrameConsumer> m_FrameConsumer{nullptr};
    std::atomic<void*> m_FrameUser{nullptr};
    std::atomic<AlarmConsumer> m_AlarmConsumer{nullptr};
    std::atomic<int> m_AlarmRegistered{0};
};
