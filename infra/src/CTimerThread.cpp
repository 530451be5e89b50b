#include "infra/CTimerThread.h"

#include <cstring>
#include <mutex>

#include "infra/MonotonicClock.h"
#include "infra/TimerManagerInternal.h"

namespace Velmora::Infra {

namespace {
constexpr const char* kPooledName = "[Pooled]";
constexpr int kPooledPriority = 64;
}  // namespace

CTimerThread::CTimerThread(TimerManagerInternal* manager)
    : CThread(kPooledName, kPooledPriority), m_manager(manager) {}

CTimerThread::~CTimerThread() {
    // The thread must be gone before this part of the object is: it runs threadProc on it.
    m_quit.store(true);
    m_wakeUp.post();
    if (looping()) {
        destroyThread();
    }
}

void CTimerThread::assignTimer(CTimer::Internal* timer) {
    m_timer = timer;
    m_proc = timer->proc;
    m_param = timer->param;
    std::memcpy(m_timerName, timer->name, sizeof m_timerName);
    m_wakeUp.post();
}

void CTimerThread::forgetTimer() {
    m_timer = nullptr;
}

void CTimerThread::threadProc() {
    while (m_wakeUp.pend() == 0 && !m_quit.load()) {
        setThreadName(m_timerName);
        const uint64_t start = getCurrentMicroSecond();
        m_proc(m_param);
        const uint64_t elapsed = getCurrentMicroSecond() - start;
        m_proc = nullptr;  // drops what the callback captured before the thread idles
        setThreadName(kPooledName);

        std::lock_guard lock(m_manager->mutex());
        if (m_timer != nullptr) {
            m_timer->runTimeUs += elapsed;
            m_timer->thread = nullptr;
            m_timer = nullptr;
        }
        m_manager->putTimerThread(this);
    }
}

}  // namespace Velmora::Infra
