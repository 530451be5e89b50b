// The process-wide timer manager every CTimer registers with; it owns nothing but the way to the
// engine, TimerManagerInternal. Created on first use, deleted by an exit handler. Any thread.
#pragma once

namespace Velmora::Infra {

class SingletonExit;
class TimerManagerInternal;

class CTimerManager {
public:
    static CTimerManager* instance();

    TimerManagerInternal* internal() const { return m_internal; }

private:
    friend class SingletonExit;
    CTimerManager();
    ~CTimerManager() = default;

    TimerManagerInternal* m_internal;
};

}  // namespace Velmora::Infra
