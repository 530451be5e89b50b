#include "infra/TimerManagerInternal.h"

#include <algorithm>
#include <mutex>

#include "infra/Assert.h"
#include "infra/CTimerThread.h"
#include "infra/MonotonicClock.h"
#include "infra/SingletonExit.h"

namespace Velmora::Infra {

namespace {
constexpr int kTickPriority = 1;
constexpr uint32_t kTickMs = 10;
}  // namespace

// Never destroyed: a timer destroyed by a static destructor (a camera closed while the process
// exits) must still find its manager.
TimerManagerInternal* TimerManagerInternal::instance() {
    return SingletonExit::instance<TimerManagerInternal>(SingletonExit::Lifetime::kForever,
                                                         __FILE_NAME__, __func__, __LINE__);
}

TimerManagerInternal::TimerManagerInternal()
    : CThread("TimerManager", kTickPriority), m_lastTick(getCurrentMilliSecond()) {
    createThread();
}

TimerManagerInternal::~TimerManagerInternal() {
    destroyThread();
    std::vector<CTimerThread*> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_threads);
        m_idle.clear();
    }
    // Outside the mutex: a thread still running a callback takes it once more on its way back.
    for (CTimerThread* thread : threads) {
        delete thread;
    }
}

void TimerManagerInternal::insertTimer(CTimer::Internal* timer) {
    std::lock_guard lock(m_mutex);
    CTimer::Internal* previous = nullptr;
    CTimer::Internal* current = m_head;
    while (current != nullptr && current->nextTime < timer->nextTime) {
        previous = current;
        current = current->next;
    }
    timer->previous = previous;
    timer->next = current;
    if (previous != nullptr) {
        previous->next = timer;
    } else {
        m_head = timer;
    }
    if (current != nullptr) {
        current->previous = timer;
    }
}

void TimerManagerInternal::removeTimer(CTimer::Internal* timer) {
    std::lock_guard lock(m_mutex);
    if (timer->previous != nullptr) {
        timer->previous->next = timer->next;
    } else if (m_head == timer) {
        m_head = timer->next;
    }
    if (timer->next != nullptr) {
        timer->next->previous = timer->previous;
    }
    timer->previous = nullptr;
    timer->next = nullptr;
}

void TimerManagerInternal::runTimer(CTimer::Internal* timer) {
    std::lock_guard lock(m_mutex);
    if (timer->thread != nullptr) {
        return;
    }
    CTimerThread* thread = takeTimerThread();
    if (thread == nullptr) {
        return;
    }
    timer->thread = thread;
    thread->assignTimer(timer);
}

void TimerManagerInternal::putTimerThread(CTimerThread* pThread) {
    INFRA_ASSERT(pThread);
    std::lock_guard lock(m_mutex);
    m_idle.push_back(pThread);
}

CTimerThread* TimerManagerInternal::takeTimerThread() {
    if (!m_idle.empty()) {
        CTimerThread* thread = m_idle.back();
        m_idle.pop_back();
        return thread;
    }
    auto* thread = new CTimerThread(this);
    if (!thread->createThread()) {
        delete thread;
        return nullptr;
    }
    m_threads.push_back(thread);
    return thread;
}

void TimerManagerInternal::fireTimer(CTimer::Internal* timer, uint64_t now) {
    removeTimer(timer);
    if (timer->periodMs != 0) {
        // The first time after now on the timer's own grid: missed firings are not caught up.
        timer->nextTime += ((now - timer->nextTime) / timer->periodMs + 1) * timer->periodMs;
        insertTimer(timer);
    } else {
        timer->started = false;
    }
    runTimer(timer);
}

void TimerManagerInternal::threadProc() {
    // Ticks on a fixed 10 ms grid rather than sleeping 10 ms after each tick's work: the drift
    // of the latter lets a tick pass two due times of a 10 ms timer and skip one firing.
    uint64_t nextTick = getCurrentMilliSecond() + kTickMs;
    while (looping()) {
        const uint64_t beforeSleep = getCurrentMilliSecond();
        if (nextTick > beforeSleep) {
            sleep(static_cast<uint32_t>(nextTick - beforeSleep));
        }
        // After a stall (a suspended machine, say) start a fresh grid instead of catching up.
        nextTick = std::max(nextTick + kTickMs, getCurrentMilliSecond() + 1);
        std::lock_guard lock(m_mutex);
        const uint64_t now = getCurrentMilliSecond();
        if (now > m_lastTick) {
            while (m_head != nullptr && m_head->nextTime <= now) {
                fireTimer(m_head, now);
            }
        } else if (now < m_lastTick) {
            internalAssertFailed("0", __PRETTY_FUNCTION__, __FILE__, __LINE__);
        }
        m_lastTick = now;
    }
}

}  // namespace Velmora::Infra
