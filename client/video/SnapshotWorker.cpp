#include "video/SnapshotWorker.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

struct SnapshotWorker::State {
    std::mutex mutex;
    std::condition_variable changed;  // a request, a stop, or a save ended
    bool busy = false;
    bool stop = false;
    SnapshotRequest request;  // the owner's while idle, the worker's while busy
    Done done;
    SnapshotWriter writer;  // worker thread only
    SnapshotResult result;  // worker thread only
};

SnapshotWorker::SnapshotWorker(Done done) : m_State(std::make_shared<State>()) {
    m_State->done = std::move(done);
    m_Thread = std::thread(&SnapshotWorker::Run, m_State);
}

SnapshotWorker::~SnapshotWorker() {
    std::unique_lock lock(m_State->mutex);
    m_State->stop = true;
    m_State->changed.notify_all();
    if (!m_State->changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                   [this] { return !m_State->busy; })) {
        // Whoever `done` would tell is going away; the file is still completed or removed.
        m_State->done = nullptr;
        lock.unlock();
        m_Thread.detach();
        return;
    }
    lock.unlock();
    m_Thread.join();
}

SnapshotRequest* SnapshotWorker::Request() {
    return WaitIdle(kWaitMs) ? &m_State->request : nullptr;
}

void SnapshotWorker::Submit() {
    std::lock_guard lock(m_State->mutex);
    m_State->busy = true;
    m_State->changed.notify_all();
}

bool SnapshotWorker::WaitIdle(int ms) {
    std::unique_lock lock(m_State->mutex);
    return m_State->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                     [this] { return !m_State->busy; });
}

void SnapshotWorker::Run(const std::shared_ptr<State>& state) {
    pthread_setname_np(pthread_self(), "Snapshot");
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return state->busy || state->stop; });
        if (!state->busy) {
            return;
        }
        lock.unlock();
        state->writer.Write(state->request, &state->result);
        lock.lock();
        // Under the lock: a worker being destroyed either waits for this call or has cleared it.
        if (state->done) {
            state->done(state->result);
        }
        state->busy = false;
        state->changed.notify_all();
    }
}
