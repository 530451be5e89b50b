#include "infra/CTimer.h"

#include <cstring>
#include <mutex>

#include "infra/CThread.h"
#include "infra/CTimerManager.h"
#include "infra/CTimerThread.h"
#include "infra/Logger.h"
#include "infra/MonotonicClock.h"
#include "infra/TimerManagerInternal.h"

namespace Velmora::Infra {

namespace {
constexpr uint32_t kWaitSliceMs = 10;
constexpr uint64_t kWaitsPerLog = 500;
}  // namespace

CTimer::CTimer(const char* name) : m_internal(new Internal) {
    if (name != nullptr) {
        std::strncpy(m_internal->name, name, kNameMax);
    }
    m_internal->manager = CTimerManager::instance()->internal();
}

CTimer::~CTimer() {
    stopAndWait();
    TimerManagerInternal* manager = m_internal->manager;
    {
        std::lock_guard lock(manager->mutex());
        // Destroyed from inside its own callback: the pooled thread must not touch the record
        // once the callback returns.
        if (m_internal->thread != nullptr) {
            m_internal->thread->forgetTimer();
        }
    }
    delete m_internal;
}

bool CTimer::start(TimerProc proc, uint32_t delayMs, uint32_t periodMs, unsigned long param) {
    if (!proc) {
        return false;
    }
    TimerManagerInternal* manager = m_internal->manager;
    std::lock_guard lock(manager->mutex());
    if (m_internal->started) {
        manager->removeTimer(m_internal);
    }
    m_internal->proc = std::move(proc);
    m_internal->param = param;
    m_internal->periodMs = periodMs;
    m_internal->nextTime = getCurrentMilliSecond() + delayMs;
    m_internal->started = true;
    manager->insertTimer(m_internal);
    return true;
}

bool CTimer::stop(bool callNow) {
    TimerManagerInternal* manager = m_internal->manager;
    std::lock_guard lock(manager->mutex());
    if (!m_internal->started) {
        return false;
    }
    manager->removeTimer(m_internal);
    m_internal->started = false;
    if (callNow && m_internal->periodMs == 0) {
        manager->runTimer(m_internal);
    }
    return true;
}

bool CTimer::stopAndWait() {
    TimerManagerInternal* manager = m_internal->manager;
    std::unique_lock lock(manager->mutex());
    const bool wasStarted = stop(false);
    uint64_t waits = 0;
    while (m_internal->thread != nullptr &&
           m_internal->thread->getThreadID() != CThread::currentThreadId()) {
        lock.unlock();
        CThread::sleep(kWaitSliceMs);
        lock.lock();
        if (++waits % kWaitsPerLog == 0) {
            INFRA_INFO("[%s:%d] this:%p tid:%d, CTimer::Stop '%s' wait callback exit!\n",
                       __FILE_NAME__, __LINE__, static_cast<void*>(this),
                       CThread::currentThreadId(), m_internal->name);
        }
    }
    return wasStarted;
}

bool CTimer::isStarted() const {
    std::lock_guard lock(m_internal->manager->mutex());
    return m_internal->started;
}

uint64_t CTimer::runTimeMicroSecond() const {
    std::lock_guard lock(m_internal->manager->mutex());
    return m_internal->runTimeUs;
}

}  // namespace Velmora::Infra
