// The thermal camera as libusb meets it on a real system, for the tests: umockdev builds its
// sysfs entry and its /dev/bus/usb node, and the usbdevfs handler here answers the ioctls libusb
// makes (claiming, bulk and control URBs, reaping, discarding), with the camera model
// (CameraModel) behind it. The test process must run under umockdev-wrapper; programs it starts
// inherit the preload and reach the same camera.
//
// The device: 1d6b:0102 "Thermal Camera", high speed, interface 0 video (class 0x0E) with a bulk
// pair of its own (0x03/0x83, never to be used by the upgrade), interface 1 vendor-specific with
// two bulk pairs: 0x01/0x81 carry channel 1, 0x02/0x82 channel 2, 512-byte packets. A message
// ends with a packet shorter than 512 bytes or a zero-length packet, as a device sees it.
// With Options::bootMode it starts as its boot loader, 1d6b:0103 (one bulk pair): the boot
// programmer ("filesize" message and data, no replies) makes it leave and, unless the model says
// boot mode never ends, the camera enumerates 200 ms later.
//
// Threads: umockdev runs the handler on its worker thread (the testbed's private GLib main
// context); the test thread builds and ends the camera and reads the model. m_mutex guards the
// model and all URB and reply state. The testbed itself is touched by the test thread only in
// the constructor and the destructor, and in between only by the worker thread (an unplug, the
// boot loader's hand-over).
#pragma once

#include <umockdev.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "upgrade/CameraModel.h"

class EmulatedCamera {
public:
    struct Setup {
        CameraModel::Options camera;  // bootMode: starts as its boot loader
        std::vector<CameraModel::Fault> faults;
        bool splitHost = false;  // a host that splits bulk transfers into 16384-byte URBs
        int claimErrno = 0;      // claiming the upgrade interface fails with this errno
    };
    static constexpr uint16_t kBootLoaderProduct = 0x0103;  // the camera's vendor id

    // Why the emulation cannot run in this process; empty when it can.
    static std::string Unavailable();

    explicit EmulatedCamera(Setup setup);
    ~EmulatedCamera();
    EmulatedCamera(const EmulatedCamera&) = delete;
    EmulatedCamera& operator=(const EmulatedCamera&) = delete;

    // A copy of the camera model, taken under the lock.
    CameraModel model() const;
    // Bytes written to an endpoint outside the upgrade interface's bulk pairs.
    size_t strayBytes() const;

private:
    struct Urb;
    struct Device;

    static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                            gpointer device);
    static gboolean OnCameraReturns(gpointer self);
    void handle(Device& device, UMockdevIoctlClient* client);
    void submit(Device& device, UMockdevIoctlClient* client);
    void reap(Device& device, UMockdevIoctlClient* client);
    void discard(UMockdevIoctlClient* client);
    void takeMessage(Device& device, int channel, std::vector<uint8_t> message, Urb& last);
    void fillReads(Device& device);
    void plug(Device& device);
    void unplug(Device& device);

    Setup m_setup;
    UMockdevTestbed* m_testbed = nullptr;
    GSource* m_return = nullptr;  // the camera's coming back after the boot programmer (m_mutex)

    mutable std::mutex m_mutex;
    CameraModel m_model;
    std::vector<std::unique_ptr<Device>> m_devices;  // camera, boot loader
    std::deque<Urb> m_urbs;  // submitted and not yet reaped, in submit order
    size_t m_strayBytes = 0;
};
