// Output that must never hold up the thread producing it.
//
// A camera's streaming thread marks itself with a Scope for as long as it streams. Its log lines
// and debugger texts are then queued here and written by the "LogWriter" thread, so a console or
// log file that blocks (a standard output pipe nobody reads, a stalled disk) delays only that
// thread, never the next frame. The queue is bounded: when it is full, further texts are dropped
// and counted, and the count is logged once output moves again.
//
// Threads: any thread may post; the queue's own mutex is held only to move a text in or out,
// never across output. The writer thread starts on the first post and runs until the process
// ends; its state is never destroyed, so texts posted while the process exits are safe. What is
// still queued when the process exits or the library is unloaded is written first (a static
// destructor flushes, within kFlushTimeoutMs).
#pragma once

#include <cstddef>
#include <functional>

namespace Velmora::Infra {

class OutputDeferral {
public:
    static constexpr std::size_t kMaxQueued = 256;
    // How long a flush at a camera's close or at exit waits: a writer stuck on a blocked output
    // must not hold those up for good.
    static constexpr int kFlushTimeoutMs = 1000;

    // While one exists on a thread, that thread's output is deferred. Scopes nest.
    class Scope {
    public:
        Scope();
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        bool m_outer;
    };

    // Whether the calling thread's output is deferred.
    static bool active();
    // Queues `write` for the writer thread. False when the queue was full and it was dropped.
    static bool post(std::function<void()> write);
    // Waits until everything posted before the call has been written; false after `timeoutMs`.
    static bool flush(int timeoutMs);
};

}  // namespace Velmora::Infra
