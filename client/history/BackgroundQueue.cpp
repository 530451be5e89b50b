#include "history/BackgroundQueue.h"

#include <pthread.h>

#include <QSocketNotifier>

BackgroundQueue::BackgroundQueue(QObject* parent)
    : QObject(parent),
      m_pNotifier(new QSocketNotifier(m_Results.fd(), QSocketNotifier::Read, this)) {
    connect(m_pNotifier, &QSocketNotifier::activated, this, &BackgroundQueue::Deliver);
    m_Thread = std::thread([this] { Run(); });
}

BackgroundQueue::~BackgroundQueue() {
    {
        std::lock_guard lock(m_Mutex);
        m_bStop = true;
        m_Jobs.clear();
    }
    m_Wake.notify_all();
    m_Thread.join();
    delete m_pNotifier;  // before the mailbox's fd closes
}

void BackgroundQueue::Post(Job job, bool urgent) {
    {
        std::lock_guard lock(m_Mutex);
        if (urgent) {
            m_Jobs.push_front(std::move(job));
        } else {
            m_Jobs.push_back(std::move(job));
        }
    }
    m_Wake.notify_one();
}

void BackgroundQueue::Clear() {
    std::lock_guard lock(m_Mutex);
    m_Jobs.clear();
}

void BackgroundQueue::Run() {
    ::pthread_setname_np(::pthread_self(), "History");
    std::unique_lock lock(m_Mutex);
    while (true) {
        m_Wake.wait(lock, [this] { return m_bStop || !m_Jobs.empty(); });
        if (m_bStop) {
            return;
        }
        Job job = std::move(m_Jobs.front());
        m_Jobs.pop_front();
        lock.unlock();
        Result result = job();
        if (result) {
            m_Results.Post(std::move(result));
        }
        lock.lock();
    }
}

void BackgroundQueue::Deliver() {
    for (Result& result : m_Results.Take()) {
        result();
    }
}
