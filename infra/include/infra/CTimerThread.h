// A pooled thread of the timer manager ("[Pooled]", priority 64): it sleeps on its semaphore
// until the manager hands it a timer, runs the callback under the timer's name and returns to the
// manager's pool. Created, handed work and deleted by TimerManagerInternal only.
#pragma once

#include <atomic>
#include <cstdint>

#include "infra/CSemaphore.h"
#include "infra/CThread.h"
#include "infra/CTimer.h"

namespace Velmora::Infra {

class CTimerThread : public CThread {
public:
    explicit CTimerThread(TimerManagerInternal* manager);
    // Wakes the thread to end and waits for it, also for a callback it is running.
    ~CTimerThread() override;

    // Runs `timer`'s callback on this idle thread. Caller holds the manager's mutex.
    void assignTimer(CTimer::Internal* timer);
    // Drops the link to a timer record about to be freed. Caller holds the manager's mutex.
    void forgetTimer();

    void threadProc() override;

private:
    TimerManagerInternal* m_manager;
    CSemaphore m_wakeUp{0};
    std::atomic<bool> m_quit{false};
    CTimer::Internal* m_timer = nullptr;  // guarded by the manager's mutex
    // Handed over by assignTimer before m_wakeUp is posted; read by the thread after it wakes.
    CTimer::TimerProc m_proc;
    unsigned long m_param = 0;
    char m_timerName[CTimer::kNameMax + 1] = {};
};

}  // namespace Velmora::Infra
