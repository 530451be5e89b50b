// The link to the camera that the firmware upgrade talks over: five operations, implemented by
// the USB transport (LibusbTransport) and by the simulated camera (SimulatedCamera). The rules
// every transport shares (the 2000 ms floor on reads, every read asking for maxPacketSize(2)
// bytes) are applied above this interface, by UsbUpgrader.
//
// Threads: used by the one thread that runs the upgrade.
#pragma once

#include <cstdint>

class UpgradeTransport {
public:
    virtual ~UpgradeTransport() = default;

    // Writes `length` bytes on `channel` (1: image transfer and raw update, 2: framed
    // commands); the number of bytes written, or -1 on failure or after `timeoutMs`.
    virtual int writeData(const unsigned char* buffer, int length, int timeoutMs,
                          unsigned char channel) = 0;
    // Reads one reply of at most `maxLength` bytes; the number received, 0 or less on failure
    // or after `timeoutMs`.
    virtual int readData(unsigned char* buffer, int maxLength, int timeoutMs,
                         unsigned char channel) = 0;
    // Maximum packet size of endpoint 1 or 2.
    virtual uint16_t maxPacketSize(int endpoint) = 0;
    // 1 when the camera runs its boot loader and needs the boot programmer first.
    virtual int isBootMode() = 0;
    // Loads the boot-programmer image at `pathUtf8`; nonzero on success.
    virtual int loadBootProgrammer(const char* pathUtf8) = 0;
};
