#include "video/StreamCallback.h"

#include <QtGlobal>
#include <atomic>
#include <vector>

#include "video/DeviceConnectionManager.h"
#include "video/FrameHeader.h"

namespace {

std::atomic<uint64_t> g_dropped{0};

int drop(int width, int height, int length) {
    const uint64_t count = g_dropped.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count == 1 || count % 100 == 0) {
        qDebug("OnStreamFrame dropped a frame: width %d height %d length %d (%llu so far)", width,
               height, length, static_cast<unsigned long long>(count));
    }
    return -1;
}

}  // namespace

int OnStreamFrame(int width, int height, const char* data, int length, int /*format*/) {
    if (length <= 0 || data == nullptr || !FrameHeader::IsWellFormed(width, height, length)) {
        return drop(width, height, length);
    }
    DeviceConnectionManager* const manager = DeviceConnectionManager::instance();

    // One picture buffer per capture thread, reused from frame to frame: the consumers copy
    // what they keep, so nothing refers to it after this call.
    thread_local std::vector<unsigned char> picture;
    picture.resize(static_cast<size_t>(length));
    FrameHeader header;
    header.Decode(data, length, width, height, picture.data());

    const CaptureTime& t = header.captureTime;
    if (const FrameConsumer frameConsumer = manager->FrameConsumerOf()) {
        frameConsumer(picture.data(), width, height, manager->FrameUserOf(), header.bShowRect,
                      header.fileTime, t.year, t.month, t.day, t.hour, t.minute, t.second);
    }
    if (manager->IsAlarmConsumerRegistered()) {
        if (const AlarmConsumer alarmConsumer = manager->AlarmConsumerOf()) {
            alarmConsumer(header.alarmWord, header.fileTime, header.displayTime, header.tempType,
                          header.alarmFlag ? 1 : 0);
        }
    }
    return 0;
}

uint64_t DroppedStreamFrames() {
    return g_dropped.load(std::memory_order_relaxed);
}
