// A camera in software for the upgrade protocol, reached in process: a transport over the
// camera model (CameraModel), which plays the camera's side of the three message formats, keeps
// every byte it was sent so that tests can compare, and misbehaves when asked to.
//
// It works as a reply queue per channel: each writeData hands the message to the model and
// queues the camera's reply (or a "no reply"); each readData hands out the front of its
// channel's queue. Nothing waits for real: a reply that would come too late (no reply, or a slow
// one past the read's time-out) makes readData fail at once, having recorded the time-out it was
// given, and is lost. After an unplug every call fails.
//
// Threads: one thread at a time, like the upgrade that drives it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "upgrade/CameraModel.h"
#include "upgrade/UpgradeTransport.h"

class SimulatedCamera : public UpgradeTransport, public CameraModel {
public:
    // One readData call; result is what it returned.
    struct Read {
        unsigned char channel = 0;
        int maxLength = 0;
        int timeoutMs = 0;
        int result = 0;
    };

    SimulatedCamera() : SimulatedCamera(Options{}) {}
    explicit SimulatedCamera(Options options) : CameraModel(std::move(options)) {}

    const std::vector<Read>& reads() const { return m_reads; }

    // UpgradeTransport. While in boot mode every message is recorded and none is answered.
    int writeData(const unsigned char* buffer, int length, int timeoutMs,
                  unsigned char channel) override;
    int readData(unsigned char* buffer, int maxLength, int timeoutMs,
                 unsigned char channel) override;
    uint16_t maxPacketSize(int endpoint) override;
    int isBootMode() override;
    int loadBootProgrammer(const char* pathUtf8) override;

private:
    struct Queued {
        unsigned char channel = 0;
        Reply reply;
    };

    std::deque<Queued> m_replies;
    std::vector<Read> m_reads;
    bool m_unplugged = false;
};
