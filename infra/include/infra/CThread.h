// A thread object: a derived class supplies threadProc, which createThread runs on a new thread.
//
// createThread, destroyThread and the destructor are called from a controlling thread (or, for
// destroyThread and the destructor, from the thread itself); looping is meant to be polled by
// threadProc. Every operation is safe from any thread; the record is guarded by its own mutex.
#pragma once

#include <cstdint>
#include <string>

namespace Velmora::Infra {

class ThreadManagerInternal;

class CThread {
public:
    // Platform priority levels (the scale of the system this library first ran on). Scoped, so
    // that derived classes' own priority constants are not hidden by these names.
    enum class PlatformPriority : int {
        kIdle = -15,
        kLowest = -2,
        kBelowNormal = -1,
        kNormal = 0,
        kAboveNormal = 1,
        kHighest = 2,
        kTimeCritical = 15,
    };
    static constexpr int kPolicyRealTime = 1;
    static constexpr int kPriorityDefault = 64;  // maps to PlatformPriority::kNormal
    static constexpr int kNameMax = 31;

    // `name` may be null ("Nonamed") and is cut to 31 characters. `priority` runs from 1
    // (highest) to 127 (lowest); `policy` 1 is real-time, anything else normal; `stackSize` 0
    // takes the platform default, a smaller positive one is raised to 64 KiB.
    explicit CThread(const char* name, int priority = kPriorityDefault, int policy = 0,
                     int stackSize = 0);
    // Asks a looping thread to stop, waits for its body to end and releases it. Run from inside
    // threadProc, the record is handed to the ending thread instead of waiting for it.
    // A derived class ends the thread in its own destructor (destroyThread, or waiting for
    // isThreadOver): by the time this one runs, the derived part threadProc uses is gone.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // The thread's work; runs on the new thread. A long-running body polls looping().
    virtual void threadProc() = 0;

    // Starts the thread. False when it is still running or cannot be started.
    bool createThread();
    // Clears the loop flag and waits for the body to end (from the thread itself: returns at
    // once). False when it already ended or was already destroyed.
    bool destroyThread();

    // The loop flag: set by createThread, cleared by destroyThread and when the body ends.
    bool looping() const;
    // True when the thread neither runs nor loops.
    bool isThreadOver() const;
    // The kernel thread id, -1 until the thread runs.
    int getThreadID() const;
    // Renames the thread (cut to 31 characters; null gives "Nonamed"), also in the system's
    // thread list (first 15 characters) while it runs.
    void setThreadName(const char* name);
    std::string getThreadName() const;

    static void sleep(uint32_t milliseconds);
    // The calling thread's kernel id.
    static int currentThreadId();

    // The platform priority a thread of this priority and policy gets.
    static PlatformPriority platformPriority(int priority, int policy);
    // The per-thread nice value that stands for a platform priority.
    static int niceValue(PlatformPriority priority);

private:
    struct Internal;
    static void* threadBody(void* record);

    Internal* m_internal;
};

}  // namespace Velmora::Infra
