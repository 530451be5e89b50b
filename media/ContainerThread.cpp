#include "media/ContainerThread.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "media/AnnexB.h"

namespace Media {

namespace {

constexpr int64_t kSyncEveryMs = 1000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Errors that no retry will cure.
bool IsFatal(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
}

}  // namespace

ContainerThread::ContainerThread(std::unique_ptr<ContainerWriter> writer, std::string name)
    : m_writer(std::move(writer)), m_name(std::move(name)), m_slots(kQueueFrames) {
    // The slots' buffers grow to the frames they carry, on the capture thread. Reserved here,
    // 75 x 128 KiB came from the opening thread's heap at every recording; that churn in the
    // GUI thread's heap made it grow slowly for as long as alarms came and went.
    m_thread = std::thread([this] { Run(); });
}

ContainerThread::~ContainerThread() {
    Finish();
    Join();
}

ContainerThread::PushResult ContainerThread::Push(const uint8_t* data, size_t size,
                                                  int64_t arrivalUs) {
    const bool key = IsKeyFrame(data, size);
    std::unique_lock lock(m_mutex);
    if (m_failed) {
        return kFailed;
    }
    if (m_finishing) {
        return kLost;
    }
    if (m_firstArrivalUs < 0) {
        m_firstArrivalUs = arrivalUs;
    }
    if (m_count == m_slots.size()) {
        const int64_t now = NowMs();
        if (m_fullSinceMs == 0) {
            m_fullSinceMs = now;
        } else if (now - m_fullSinceMs >= kFailureMs) {
            m_failed = true;
            std::fprintf(stderr, "%s: the disk does not keep up; the recording has failed\n",
                         m_name.c_str());
            return kFailed;
        }
        return kLost;
    }
    m_fullSinceMs = 0;
    // Copying under the lock keeps the hand-over simple; the writer never holds it during I/O.
    Slot& slot = m_slots[(m_head + m_count) % m_slots.size()];
    slot.bytes.assign(data, data + size);
    slot.timestampUs = arrivalUs - m_firstArrivalUs;
    slot.keyFrame = key;
    ++m_count;
    const bool lost = m_lostSincePush;
    m_lostSincePush = false;
    lock.unlock();
    m_wake.notify_one();
    return lost ? kLost : kQueued;
}

void ContainerThread::Preload(std::deque<HeldFrame> frames) {
    {
        std::lock_guard lock(m_mutex);
        if (m_firstArrivalUs >= 0 || frames.empty()) {
            return;
        }
        m_firstArrivalUs = frames.front().arrivalUs;
        m_preload = std::move(frames);
    }
    m_wake.notify_one();
}

void ContainerThread::Finish() {
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_wake.notify_one();
}

bool ContainerThread::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard lock(m_mutex);
    return m_finishedCleanly;
}

bool ContainerThread::Done() const {
    std::lock_guard lock(m_mutex);
    return m_done;
}

void ContainerThread::NoteWrite(bool ok, int error, int64_t nowMs) {
    if (ok) {
        m_failingSinceMs = 0;
        return;
    }
    m_lostSincePush = true;
    if (m_failingSinceMs == 0) {
        m_failingSinceMs = nowMs;
    }
    if (!m_failed && (IsFatal(error) || nowMs - m_failingSinceMs >= kFailureMs)) {
        m_failed = true;
        std::fprintf(stderr, "%s: writing failed (%s); the recording has failed\n", m_name.c_str(),
                     std::strerror(error));
    }
}

void ContainerThread::Run() {
    pthread_setname_np(pthread_self(), "Recorder");
    Slot work;
    int64_t lastSyncMs = NowMs();
    for (;;) {
        bool failed;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_preload.empty() || m_count > 0 || m_finishing; });
            if (!m_preload.empty()) {
                HeldFrame& held = m_preload.front();
                std::swap(work.bytes, held.bytes);
                work.timestampUs = held.arrivalUs - m_firstArrivalUs;
                work.keyFrame = held.keyFrame;
                m_preload.pop_front();
            } else if (m_count == 0) {
                break;  // finishing, and everything queued is written
            } else {
                // Swap buffers so the slot is free again before the write starts.
                std::swap(work, m_slots[m_head]);
                m_head = (m_head + 1) % m_slots.size();
                --m_count;
            }
            failed = m_failed;
        }
        if (failed) {
            continue;  // the recording is over; what is queued is dropped
        }
        const EncodedFrame frame{work.bytes.data(), work.bytes.size(), work.timestampUs,
                                 work.keyFrame};
        bool ok = m_writer->WriteFrame(frame);
        const int64_t now = NowMs();
        if (ok && now - lastSyncMs >= kSyncEveryMs) {
            ok = m_writer->Sync();
            lastSyncMs = now;
        }
        std::lock_guard lock(m_mutex);
        NoteWrite(ok, m_writer->Error(), now);
    }
    const bool finished = m_writer->Finish();
    const int finishError = finished ? 0 : m_writer->Error();
    m_writer.reset();
    std::lock_guard lock(m_mutex);
    if (!finished && !m_failed) {
        // Said once here; a recording that failed before has said why already.
        std::fprintf(stderr, "%s: completing the file failed (%s); what was written stays\n",
                     m_name.c_str(), std::strerror(finishError != 0 ? finishError : EIO));
    }
    m_finishedCleanly = finished && !m_failed;
    m_done = true;
}

}  // namespace Media
