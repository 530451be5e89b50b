#include "media/StreamConverter.h"

#include <chrono>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "media/ContainerThread.h"
#include "media/FileSink.h"
#include "media/Mp4Writer.h"
#include "media/PvfWriter.h"

namespace {

// Files closed by their owner and still being completed. Never destroyed: a static
// destructor must not join threads that may still be writing at exit.
struct Closing {
    std::mutex mutex;
    std::list<std::unique_ptr<Media::ContainerThread>> files;
};

Closing& closing() {
    static auto* instance = new Closing;
    return *instance;
}

Media::ContainerThread* FromHandle(void* handle) {
    return static_cast<Media::ContainerThread*>(handle);
}

}  // namespace

bool SC_Init() {
    return true;
}

int SC_OpenFile(int format, const char* path, int pathLength, void** handle) {
    return SC_OpenFileAt(format, path, pathLength,
                         std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count(),
                         nullptr, handle);
}

int SC_OpenFileAt(int format, const char* path, int pathLength, int64_t creationTime,
                  const char* comment, void** handle) {
    if (path == nullptr || pathLength <= 0 || handle == nullptr ||
        (format != kScFormatMp4 && format != kScFormatPvf)) {
        return -1;
    }
    const std::string name(path, static_cast<size_t>(pathLength));
    int error = 0;
    std::unique_ptr<Media::FileSink> sink = Media::FileSink::Create(name, &error);
    if (!sink) {
        return error != 0 ? error : -1;
    }
    std::unique_ptr<Media::ContainerWriter> writer;
    if (format == kScFormatMp4) {
        writer = std::make_unique<Media::Mp4Writer>(std::move(sink), creationTime,
                                                    comment != nullptr ? comment : "");
    } else {
        writer = std::make_unique<Media::PvfWriter>(std::move(sink), creationTime);
    }
    *handle = new Media::ContainerThread(std::move(writer), name);
    return 0;
}

int SC_InputData(void* handle, const unsigned char* data, int length) {
    return SC_InputDataAt(handle, data, length, SC_MonotonicUs());
}

int SC_InputDataAt(void* handle, const unsigned char* data, int length, int64_t arrivalUs) {
    if (handle == nullptr || data == nullptr || length <= 0) {
        return kScFrameLost;
    }
    return FromHandle(handle)->Push(data, static_cast<size_t>(length), arrivalUs);
}

void SC_InputHeldFrames(void* handle, std::deque<Media::HeldFrame> frames) {
    if (handle != nullptr) {
        FromHandle(handle)->Preload(std::move(frames));
    }
}

void SC_FinishFile(void* handle) {
    if (handle != nullptr) {
        FromHandle(handle)->Finish();
    }
}

void SC_CloseFile(void* handle) {
    if (handle == nullptr) {
        return;
    }
    Closing& c = closing();
    std::lock_guard lock(c.mutex);
    c.files.remove_if([](const auto& file) { return file->Done(); });
    c.files.emplace_back(FromHandle(handle));
}

void SC_Uninit() {}

void SC_WaitFinished() {
    Closing& c = closing();
    std::list<std::unique_ptr<Media::ContainerThread>> files;
    {
        std::lock_guard lock(c.mutex);
        files.swap(c.files);
    }
    files.clear();  // each destructor finishes and joins
}

int64_t SC_MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
