// The frame intake as a misbehaving library or camera could drive it: OnStreamFrame with any
// width, height, length and bytes, with both consumers registered.
//
// Input: width, height and length as little-endian int32, a mode byte, then the frame bytes
// (repeated to fill `length`). Mode bit 0 replaces length with width * height * 2, the library's
// promise, so that the fuzzer reaches the decoder easily; bit 1 passes a null data pointer.
// Lengths above 64 KiB are folded into range.
// The frame sits in a heap block of exactly `length` bytes: AddressSanitizer reports any read
// beyond it.
//
// Besides the sanitizers it checks the contract of the callback and its consumers: a frame is
// delivered exactly when it is well formed, otherwise counted as dropped; the picture is the
// frame with each 16-bit half byte-swapped and the metadata groups repeating their neighbours;
// the time texts have their fixed lengths; the alarm word carries no flag bits.
#include <QImage>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framegate/FrameMetadata.h"
#include "video/DeviceConnectionManager.h"
#include "video/StreamCallback.h"
#include "video/UyvyConverter.h"

namespace {

// Larger frames only cost time: the code takes no other path for a 480 x 640 frame (600 KiB)
// than for a 128 x 256 one.
constexpr int kMaxLength = 1 << 16;
constexpr size_t kHeaderBytes = 13;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "frame intake contract broken: %s\n", what);
        std::abort();
    }
}

// The frame of the current call, and what the consumers received from it.
struct Call {
    const unsigned char* raw = nullptr;
    int width = 0;
    int height = 0;
    int length = 0;
    int frames = 0;
    int alarms = 0;
    char fileTime[32] = {};
} g_call;

void onFrame(const unsigned char* picture, int width, int height, void* user, int bShowRect,
             const char* fileTime, int /*year*/, int /*month*/, int /*day*/, int /*hour*/,
             int /*minute*/, int /*second*/) {
    ++g_call.frames;
    check(width == g_call.width && height == g_call.height, "frame size changed on the way");
    check(user == &g_call, "frame consumer context lost");
    check(bShowRect == 0 || bShowRect == 1, "bShowRect is not 0 or 1");
    check(strnlen(fileTime, 32) == 15, "file time is not 15 characters");
    std::memcpy(g_call.fileTime, fileTime, 16);

    const auto length = static_cast<size_t>(g_call.length);
    const size_t last = length - 4;
    for (size_t i = 4; i < last; ++i) {
        check(picture[i] == g_call.raw[i ^ 1], "picture byte is not the swapped frame byte");
    }
    check(std::memcmp(picture, picture + 4, 4) == 0, "first group does not repeat its neighbour");
    check(std::memcmp(picture + last, picture + last - 4, 4) == 0,
          "last group does not repeat its neighbour");
    // What the renderer does with every shown frame (it takes even widths only): converted at
    // the picture's own size, and scaled to another.
    if (width % 2 == 0) {
        static UyvyConverter converter;
        static QImage image;
        converter.ToRgb32(picture, width, height, QSize(width, height), &image);
        converter.ToRgb32(picture, width, height, QSize(width + width / 3 + 1, height - height / 4),
                          &image);
    }
}

void onAlarm(const void* alarmWord, const char* fileTime, const char* displayTime, int tempType,
             int alarmPresent) {
    ++g_call.alarms;
    const uint32_t word = Framegate::readLittleEndian(static_cast<const uint8_t*>(alarmWord));
    check(alarmPresent == 0 || alarmPresent == 1, "alarm-present is not 0 or 1");
    check(tempType >= 0 && tempType <= 2, "temperature type out of range");
    check((word & ~0x80FFFFFFu) == 0, "alarm word carries flag bits");
    check(alarmPresent == 1 || (word == 0 && tempType == 0), "alarm data without an alarm");
    check(std::strcmp(fileTime, g_call.fileTime) == 0, "consumers got different file times");
    check(strnlen(displayTime, 32) == 19, "display time is not 19 characters");
}

int32_t readInt32(const uint8_t* p) {
    return static_cast<int32_t>(Framegate::readLittleEndian(p));
}

void discardMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Dropped frames are logged; at fuzzing rates that would be all the output.
    qInstallMessageHandler(discardMessages);
    DeviceConnectionManager* const manager = DeviceConnectionManager::instance();
    manager->ConnectToDev(0);
    manager->RegisterFrameConsumer(onFrame, &g_call);
    manager->RegisterAlarmConsumer(onAlarm, nullptr);
    check(manager->IsAlarmConsumerRegistered(), "alarm consumer not registered");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, data, std::min(size, kHeaderBytes));
    const uint8_t* const payload = size > kHeaderBytes ? data + kHeaderBytes : nullptr;
    const size_t payloadBytes = size > kHeaderBytes ? size - kHeaderBytes : 0;

    const int width = readInt32(header);
    const int height = readInt32(header + 4);
    int length = readInt32(header + 8);
    const uint8_t mode = header[12];
    // What the library promises for this size; -1 for sizes it never sends.
    const int64_t promised =
        width > 0 && height > 0 ? static_cast<int64_t>(width) * height * 2 : -1;
    if ((mode & 1) != 0 && promised >= 0 && promised <= kMaxLength) {
        length = static_cast<int>(promised);
    }
    if (length > kMaxLength) {
        length %= kMaxLength + 1;
    }

    const size_t bytes = length > 0 ? static_cast<size_t>(length) : 0;
    const std::unique_ptr<unsigned char[]> frame(new unsigned char[bytes]);
    for (size_t at = 0; payloadBytes > 0 && at < bytes; at += payloadBytes) {
        std::memcpy(frame.get() + at, payload, std::min(bytes - at, payloadBytes));
    }
    if (payloadBytes == 0 && bytes > 0) {
        std::memset(frame.get(), 0, bytes);
    }
    const bool nullData = (mode & 2) != 0;

    g_call = Call{frame.get(), width, height, length};
    const uint64_t droppedBefore = DroppedStreamFrames();
    const int result = OnStreamFrame(
        width, height, nullData ? nullptr : reinterpret_cast<const char*>(frame.get()), length, 19);

    const bool wellFormed = !nullData && length >= 12 && length % 4 == 0 && promised == length;
    check(result == (wellFormed ? 0 : -1), "accepted a malformed frame or refused a good one");
    check(g_call.frames == (wellFormed ? 1 : 0), "frame consumer calls");
    check(g_call.alarms == (wellFormed ? 1 : 0), "alarm consumer calls");
    check(DroppedStreamFrames() - droppedBefore == (wellFormed ? 0u : 1u), "dropped count");
    return 0;
}
