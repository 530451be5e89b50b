// The upgrade transport over USB, on libusb-1.0. It finds the camera by its USB ids, claims the
// one interface that carries the upgrade's bulk endpoints and leaves the video interface (and
// its kernel driver) alone, so the picture may keep running while the tool talks to the camera.
//
// Channels: channel 1 is the interface's first bulk OUT/IN endpoint pair, channel 2 its second
// pair, or the first again when there is only one. Boot mode: only when the caller names the
// boot loader's ids and only that device is present, open() takes it and isBootMode() reports 1.
// Without a named boot loader no other device is ever opened: its ids are not known, and a
// guessed id could belong to any other gadget.
// docs/upgrade.md gives the details.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/UpgradeTransport.h"

struct libusb_context;
struct libusb_device_handle;

class LibusbTransport : public UpgradeTransport {
public:
    static constexpr uint16_t kVendorId = 0x1d6b;
    static constexpr uint16_t kProductId = 0x0102;
    struct UsbId {
        uint16_t vendor = 0;
        uint16_t product = 0;
    };
    // How long loadBootProgrammer waits for the camera to come back with its own product id.
    static constexpr int kReenumerationMs = 15000;

    // `bootLoader`: the ids the camera's boot loader enumerates with; none, no boot mode.
    explicit LibusbTransport(uint16_t vendorId = kVendorId, uint16_t productId = kProductId,
                             std::optional<UsbId> bootLoader = std::nullopt);
    ~LibusbTransport() override;
    LibusbTransport(const LibusbTransport&) = delete;
    LibusbTransport& operator=(const LibusbTransport&) = delete;

    // Opens the camera (or, when only it is present, the named boot loader) and claims the upgrade
    // interface. False with a one-line reason() when there is no camera, the interface is busy,
    // permission is missing or the device has no bulk endpoint pair outside its video interface.
    bool open();
    // Releases the interface (the kernel driver, if one was detached, is given it back).
    void close();
    bool isOpen() const { return m_handle != nullptr; }
    // Why the latest open() or loadBootProgrammer failed, or why the device went away.
    const std::string& reason() const { return m_reason; }

    // One line per attached device with these ids: "bus B device D vvvv:pppp <product>", the
    // product string only when the device could be opened to read it.
    static std::vector<std::string> ListCandidates(uint16_t vendorId = kVendorId,
                                                   uint16_t productId = kProductId);

    // UpgradeTransport. Reads and writes fail (-1) while not open; a time-out of 0 or less is
    // taken as 1 ms (libusb reads 0 as "wait for ever").
    int writeData(const unsigned char* buffer, int length, int timeoutMs,
                  unsigned char channel) override;
    int readData(unsigned char* buffer, int maxLength, int timeoutMs,
                 unsigned char channel) override;
    // wMaxPacketSize of the channel's IN endpoint; 0 while not open or for another endpoint.
    uint16_t maxPacketSize(int endpoint) override;
    // 1 when open() found only the named boot loader.
    int isBootMode() override;
    // Sends the image over channel 1 of the boot loader (the 12-byte "filesize" message, then
    // 32000-byte chunks, no replies awaited), closes it and waits up to kReenumerationMs for the
    // camera to come back, then opens that. Nonzero when the camera is open again.
    int loadBootProgrammer(const char* pathUtf8) override;

private:
    struct Channel {
        unsigned char out = 0;
        unsigned char in = 0;
        uint16_t outPacket = 0;
        uint16_t inPacket = 0;
    };

    bool openDevice(UsbId id);
    bool claimUpgradeInterface();
    const Channel* channel(unsigned char number) const;
    void noteFailure(int rc);

    UsbId m_camera;
    std::optional<UsbId> m_bootLoader;
    libusb_context* m_context = nullptr;
    libusb_device_handle* m_handle = nullptr;
    int m_interface = -1;
    bool m_bootMode = false;
    std::vector<Channel> m_channels;  // bulk pairs of the claimed interface, in descriptor order
    std::string m_reason;
};
