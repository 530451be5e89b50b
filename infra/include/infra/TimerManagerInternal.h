// The timer manager's engine: the "TimerManager" thread (priority 1) that every 10 ms fires the
// due timers of its list onto pooled threads. Process-wide, deleted by an exit handler, which
// stops its thread and deletes every pooled thread.
//
// The timer list, the pool and each timer's running-thread link are guarded by mutex(); the
// operations below expect the caller to hold it (they take it again, which it allows).
#pragma once

#include <cstdint>
#include <vector>

#include "infra/CRecursiveMutex.h"
#include "infra/CThread.h"
#include "infra/CTimer.h"

namespace Velmora::Infra {

class SingletonExit;

class TimerManagerInternal : public CThread {
public:
    static TimerManagerInternal* instance();

    CRecursiveMutex& mutex() { return m_mutex; }

    // Puts a timer into the list, before the first one due at the same time or later.
    void insertTimer(CTimer::Internal* timer);
    void removeTimer(CTimer::Internal* timer);
    // Runs a timer's callback on a pooled thread now, unless its previous callback still runs.
    void runTimer(CTimer::Internal* timer);
    // Takes back a pooled thread that finished its callback.
    void putTimerThread(CTimerThread* pThread);

    void threadProc() override;

private:
    friend class SingletonExit;
    TimerManagerInternal();
    ~TimerManagerInternal() override;

    void fireTimer(CTimer::Internal* timer, uint64_t now);
    CTimerThread* takeTimerThread();

    CRecursiveMutex m_mutex;
    CTimer::Internal* m_head = nullptr;    // ordered by next firing time
    std::vector<CTimerThread*> m_idle;     // the pool; the most recently returned last
    std::vector<CTimerThread*> m_threads;  // every pooled thread, idle or busy
    uint64_t m_lastTick;
};

}  // namespace Velmora::Infra
