#include "infra/OutputDeferral.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "infra/Logger.h"

namespace Velmora::Infra {

namespace {

thread_local bool t_deferring = false;

// Never destroyed: threads may post while exit handlers run.
class Queue {
public:
    static Queue& instance() {
        static Queue* queue = new Queue;
        return *queue;
    }

    bool post(std::function<void()> write) {
        std::lock_guard lock(m_mutex);
        if (m_items.size() >= OutputDeferral::kMaxQueued) {
            ++m_dropped;
            return false;
        }
        m_items.push_back(std::move(write));
        ++m_posted;
        if (!m_writerStarted) {
            m_writerStarted = true;
            std::thread([this] { run(); }).detach();
        }
        m_wake.notify_one();
        return true;
    }

    bool flush(int timeoutMs) {
        std::unique_lock lock(m_mutex);
        const std::uint64_t target = m_posted;
        return m_progress.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return m_written >= target; });
    }

private:
    void run() {
        pthread_setname_np(pthread_self(), "LogWriter");
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return !m_items.empty(); });
            std::function<void()> write = std::move(m_items.front());
            m_items.pop_front();
            const long dropped = std::exchange(m_dropped, 0);
            lock.unlock();
            write();
            if (dropped > 0) {
                INFRA_WARN("%ld log lines were dropped while output was blocked\n", dropped);
            }
            lock.lock();
            ++m_written;
            m_progress.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_progress;
    std::deque<std::function<void()>> m_items;
    long m_dropped = 0;
    std::uint64_t m_posted = 0;
    std::uint64_t m_written = 0;
    bool m_writerStarted = false;
};

// Writes what is still queued when the process exits or the library is unloaded. Constructed
// when the library is loaded, so it is destroyed after the objects made later, whose destructors
// may still close a camera; the queue itself is never destroyed, and threads still streaming
// then may go on posting.
struct FlushAtExit {
    ~FlushAtExit() { Queue::instance().flush(OutputDeferral::kFlushTimeoutMs); }
} g_flushAtExit;

}  // namespace

OutputDeferral::Scope::Scope() : m_outer(t_deferring) {
    t_deferring = true;
}

OutputDeferral::Scope::~Scope() {
    t_deferring = m_outer;
}

bool OutputDeferral::active() {
    return t_deferring;
}

bool OutputDeferral::post(std::function<void()> write) {
    return Queue::instance().post(std::move(write));
}

bool OutputDeferral::flush(int timeoutMs) {
    return Queue::instance().flush(timeoutMs);
}

}  // namespace Velmora::Infra
