// A timer whose callback runs on a pooled thread of the timer manager. Constructing the first
// timer of the process starts the manager and its "TimerManager" thread.
//
// Any thread may start, stop or destroy a timer, also its own callback. A timer must be destroyed
// before the process exits: the manager it uses is deleted by an exit handler.
#pragma once

#include <cstdint>
#include <functional>

namespace Velmora::Infra {

class CTimerThread;
class TimerManagerInternal;

class CTimer {
public:
    using TimerProc = std::function<void(unsigned long param)>;
    static constexpr int kNameMax = 31;

    // `name` (cut to 31 characters) also names the pooled thread while it runs the callback.
    explicit CTimer(const char* name);
    // Stops the timer and waits for a running callback to end (unless called from it).
    virtual ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // (Re)starts the timer: `proc(param)` runs after `delayMs`, then every `periodMs` when that is
    // not 0. A firing is skipped while the previous callback still runs. False without a callback.
    bool start(TimerProc proc, uint32_t delayMs, uint32_t periodMs, unsigned long param = 0);
    // Stops the timer; with `callNow` a one-shot timer that had not fired yet fires at once.
    // False when it was not started.
    bool stop(bool callNow = false);
    // Stops the timer without firing and waits while its callback runs on another thread.
    // False when it was not started.
    bool stopAndWait();
    bool isStarted() const;
    // The microseconds its callbacks have run so far, counted when each one ends.
    uint64_t runTimeMicroSecond() const;

private:
    friend class TimerManagerInternal;
    friend class CTimerThread;

    // Guarded by the manager's mutex.
    struct Internal {
        char name[kNameMax + 1] = {};
        uint32_t periodMs = 0;  // 0: one-shot
        uint64_t nextTime = 0;  // on the monotonic clock, in milliseconds
        TimerProc proc;
        unsigned long param = 0;
        bool started = false;
        uint64_t runTimeUs = 0;
        Internal* previous = nullptr;  // links in the manager's timer list
        Internal* next = nullptr;
        CTimerThread* thread = nullptr;  // the pooled thread running its callback, or none
        TimerManagerInternal* manager = nullptr;
    };

    Internal* m_internal;
};

}  // namespace Velmora::Infra
