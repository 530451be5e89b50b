// One open recording file and the thread that writes it. The capture thread hands each encoded
// frame over through a bounded queue of reusable buffers and never waits on the disk; the
// writer thread writes, syncs about once a second, and finishes the file when asked.
//
// Failures: a write that fails loses its frame and is reported by the next Push; the recording
// has failed for good when the disk is full, when writes have failed without a success for a
// second, or when the queue has stayed full for a second (the disk cannot keep up).
//
// Frames encoded before the recording started (the pre-alarm seconds) come in as one batch
// through Preload, before the first Push: they are moved, not copied, and written ahead of the
// queue, outside its bound; the first of them is the recording's time zero.
//
// Threads: Push on the capture thread; Preload, Finish, Join and the destructor on the thread
// that owns the recording. The queue and the failure state are guarded by m_mutex; the writer and
// the file belong to the writer thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/ContainerWriter.h"
#include "media/EncodedFrameRing.h"

namespace Media {

class ContainerThread {
public:
    enum PushResult { kQueued = 0, kLost = -1, kFailed = -2 };

    // Frames at most the queue holds: three seconds at 25 fps.
    static constexpr int kQueueFrames = 75;
    // How long writes may keep failing, or the queue stay full, before the recording fails.
    static constexpr int64_t kFailureMs = 1000;

    // Starts the writer thread; `writer` gets the frames in order. `name` is for the log.
    ContainerThread(std::unique_ptr<ContainerWriter> writer, std::string name);
    // Finishes (if not asked yet) and waits for the thread.
    ~ContainerThread();
    ContainerThread(const ContainerThread&) = delete;
    ContainerThread& operator=(const ContainerThread&) = delete;

    // Queues a copy of one frame that arrived at `arrivalUs` (a monotonic clock). kLost: this
    // or an earlier frame was lost (queue full, or a write failed since the last Push);
    // kFailed: the recording has failed for good.
    PushResult Push(const uint8_t* data, size_t size, int64_t arrivalUs);
    // Takes `frames` (oldest first, the first a key frame) to be written before everything
    // Push queues. Only before the first Push; ignored afterwards. Does not wait.
    void Preload(std::deque<HeldFrame> frames);
    // Writes what is queued, completes the file and ends the thread. Does not wait.
    void Finish();
    // Waits until the thread has ended; true when the file was finished cleanly.
    bool Join();
    // True once the thread has ended.
    bool Done() const;

private:
    struct Slot {
        std::vector<uint8_t> bytes;
        int64_t timestampUs = 0;
        bool keyFrame = false;
    };

    void Run();
    // Called by the writer thread after each write, under m_mutex.
    void NoteWrite(bool ok, int error, int64_t nowMs);

    std::unique_ptr<ContainerWriter> m_writer;  // writer thread only, after the start
    std::string m_name;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Slot> m_slots;      // ring of kQueueFrames buffers, reused
    std::deque<HeldFrame> m_preload;  // written before the slots
    size_t m_head = 0;              // next slot to write
    size_t m_count = 0;             // slots queued
    int64_t m_firstArrivalUs = -1;  // the recording's time zero
    int64_t m_fullSinceMs = 0;      // queue full since then (0: not full)
    int64_t m_failingSinceMs = 0;   // writes failing since then (0: last write succeeded)
    bool m_lostSincePush = false;   // a frame was lost since the last Push
    bool m_failed = false;
    bool m_finishing = false;
    bool m_done = false;
    bool m_finishedCleanly = false;

    std::thread m_thread;
};

}  // namespace Media
