// One worker thread for the History page's slow work (decoding thumbnails, asking the episode
// index, writing an export), so that the GUI thread never reads a file. A job runs on the
// worker and returns what to do with its result, which then runs on the GUI thread.
//
// Threads: Post, Clear and the destructor on the GUI thread (the owner's); jobs on the worker
// ("History" thread); results on the GUI thread, handed over through an EventMailbox. The job
// list is guarded by m_Mutex. The destructor drops the jobs not begun and waits for the running
// one, so a result never runs after its owner is gone; a long job should watch Stopping().
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/EventMailbox.h"

class QSocketNotifier;

class BackgroundQueue : public QObject {
    Q_OBJECT

public:
    using Result = std::function<void()>;  // GUI thread
    using Job = std::function<Result()>;   // worker; may return null

    explicit BackgroundQueue(QObject* parent = nullptr);
    ~BackgroundQueue() override;

    // Runs `job` after those queued before it; `urgent` puts it first (what is on screen now).
    void Post(Job job, bool urgent = false);
    // Drops the jobs not begun.
    void Clear();
    // True once the owner is going (any thread).
    bool Stopping() const { return m_bStop.load(std::memory_order_relaxed); }

private:
    void Run();
    void Deliver();

    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<Job> m_Jobs;  // guarded by m_Mutex
    std::atomic<bool> m_bStop{false};
    EventMailbox<Result> m_Results;
    QSocketNotifier* m_pNotifier;
    std::thread m_Thread;
};
