// Hands small records from worker threads to the GUI thread: a list under a mutex and an eventfd
// that a QSocketNotifier on the GUI thread watches (an fd rather than Qt's posted events, so
// that the hand-over stays visible to ThreadSanitizer). At most one wake-up is pending at a time.
// Held by a shared_ptr where a worker may outlive its owner.
//
// Threads: Post on any thread; Take on the thread that reads the fd.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

template <typename Record>
class EventMailbox {
public:
    EventMailbox() : m_Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~EventMailbox() { ::close(m_Fd); }
    EventMailbox(const EventMailbox&) = delete;
    EventMailbox& operator=(const EventMailbox&) = delete;

    // The fd to watch for reading.
    int fd() const { return m_Fd; }

    void Post(Record record) {
        std::lock_guard lock(m_Mutex);
        m_Records.push_back(std::move(record));
        if (!m_bWakePending) {
            m_bWakePending = true;
            const uint64_t one = 1;
            (void)::write(m_Fd, &one, sizeof one);
        }
    }

    std::vector<Record> Take() {
        std::lock_guard lock(m_Mutex);
        uint64_t count = 0;
        (void)::read(m_Fd, &count, sizeof count);
        m_bWakePending = false;
        return std::exchange(m_Records, {});
    }

private:
    const int m_Fd;
    std::mutex m_Mutex;
    std::vector<Record> m_Records;  // guarded by m_Mutex
    bool m_bWakePending = false;    // guarded by m_Mutex
};
