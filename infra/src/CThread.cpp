#include "infra/CThread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "infra/CMutex.h"
#include "infra/Logger.h"
#include "infra/ThreadManagerInternal.h"

namespace Velmora::Infra {

struct CThread::Internal {
    pthread_t handle{};
    bool hasHandle = false;  // a started thread not yet joined or detached
    int running = 0;
    int policy = 0;
    int priority = kPriorityDefault;
    int stackSize = 0;
    int threadId = -1;
    char name[kNameMax + 1] = {};
    ThreadManagerInternal::Link link;
    bool loop = false;
    bool destroyed = false;
    ThreadManagerInternal* registry = nullptr;
    CThread* owner = nullptr;
    CMutex mutex;
    // Signalled when the body clears `running`.
    std::condition_variable_any ended;
    // Set when the owner was destroyed from inside threadProc: the body frees the record then.
    bool orphaned = false;
};

namespace {

constexpr int kSystemNameMax = 15;  // the kernel's thread name limit, without the NUL
constexpr auto kDestroyWaitSlice = std::chrono::milliseconds(50);
constexpr auto kDestructorWaitSlice = std::chrono::milliseconds(1);
constexpr uint64_t kDestructorWaitsPerLog = 100;
constexpr size_t kStackFloor = 64 * 1024;

std::atomic<bool> g_niceRefusalLogged{false};

void copyName(char (&target)[CThread::kNameMax + 1], const char* name) {
    std::strncpy(target, name != nullptr ? name : "Nonamed", CThread::kNameMax);
    target[CThread::kNameMax] = '\0';
}

void setSystemName(pthread_t thread, const char* name) {
    char systemName[kSystemNameMax + 1] = {};
    std::memcpy(systemName, name, strnlen(name, kSystemNameMax));
    pthread_setname_np(thread, systemName);
}

// Joins a thread whose body has ended or is about to: it no longer needs the record's mutex.
void closeHandle(pthread_t& handle, bool& hasHandle) {
    if (hasHandle) {
        pthread_join(handle, nullptr);
        hasHandle = false;
    }
}

}  // namespace

CThread::CThread(const char* name, int priority, int policy, int stackSize)
    : m_internal(new Internal) {
    m_internal->priority = priority;
    m_internal->policy = policy;
    m_internal->stackSize = stackSize;
    copyName(m_internal->name, name);
    m_internal->registry = ThreadManagerInternal::instance();
    m_internal->owner = this;
}

CThread::~CThread() {
    Internal* record = m_internal;
    if (looping()) {
        destroyThread();
    }
    std::unique_lock lock(record->mutex);
    if (record->running != 0 && record->threadId == currentThreadId()) {
        // Destroyed from inside threadProc: the body still uses the record after threadProc
        // returns, so it frees the record itself, and nobody is left to join the thread.
        pthread_detach(record->handle);
        record->hasHandle = false;
        record->orphaned = true;
        return;
    }
    uint64_t waits = 0;
    while (record->running != 0) {
        record->ended.wait_for(lock, kDestructorWaitSlice);
        if (++waits % kDestructorWaitsPerLog == 0) {
            INFRA_DEBUG(
                "[%s:%d] this:%p tid:%d, CThread::~CThread %s wait for thread over, times : "
                "%llu\n",
                __FILE_NAME__, __LINE__, static_cast<void*>(this), currentThreadId(), record->name,
                static_cast<unsigned long long>(waits));
        }
    }
    closeHandle(record->handle, record->hasHandle);
    lock.unlock();
    delete record;
}

bool CThread::createThread() {
    Internal* record = m_internal;
    std::unique_lock lock(record->mutex);
    char name[kNameMax + 1];
    std::memcpy(name, record->name, sizeof name);
    const auto stillRunning = [&] {
        lock.unlock();
        INFRA_WARN(
            "[%s:%d] this:%p tid:%d, CThread::CreateThread() thread '%s' is still running!\n",
            __FILE_NAME__, __LINE__, static_cast<void*>(this), currentThreadId(), name);
        return false;
    };
    // The thread itself cannot wait for its own body to end.
    if (record->loop || (record->running != 0 && record->threadId == currentThreadId())) {
        return stillRunning();
    }
    // A body asked to stop may still be winding down; the old handle is closed once it ended.
    record->ended.wait(lock, [record] { return record->running == 0 || record->loop; });
    if (record->loop) {
        return stillRunning();
    }
    closeHandle(record->handle, record->hasHandle);

    record->loop = true;
    record->threadId = -1;
    record->destroyed = false;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (record->stackSize > 0) {
        // The body itself logs through an 8 KiB line buffer, which a stack of PTHREAD_STACK_MIN
        // cannot always hold (under AddressSanitizer it overflows).
        const size_t minimum = std::max<size_t>(PTHREAD_STACK_MIN, kStackFloor);
        pthread_attr_setstacksize(&attributes,
                                  std::max(static_cast<size_t>(record->stackSize), minimum));
    }
    const int error = pthread_create(&record->handle, &attributes, &CThread::threadBody, record);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        record->loop = false;
        lock.unlock();
        INFRA_ERROR("[%s:%d] this:%p tid:%d, create thread failed,errno=%d\n", __FILE_NAME__,
                    __LINE__, static_cast<void*>(this), currentThreadId(), error);
        return false;
    }
    // The priority is applied by the body itself: only the new thread knows its kernel id.
    record->hasHandle = true;
    record->running = 1;
    return true;
}

bool CThread::destroyThread() {
    Internal* record = m_internal;
    std::unique_lock lock(record->mutex);
    char name[kNameMax + 1];
    std::memcpy(name, record->name, sizeof name);
    if (record->destroyed) {
        lock.unlock();
        INFRA_WARN(
            "[%s:%d] this:%p tid:%d, CThread::DestroyThread() thread '%s' has been destroyed!\n",
            __FILE_NAME__, __LINE__, static_cast<void*>(this), currentThreadId(), name);
        return false;
    }
    if (record->running == 0 && !record->loop) {
        lock.unlock();
        INFRA_WARN("[%s:%d] this:%p tid:%d, CThread::DestroyThread() thread '%s' has exited!\n",
                   __FILE_NAME__, __LINE__, static_cast<void*>(this), currentThreadId(), name);
        return false;
    }
    record->loop = false;
    record->destroyed = true;
    if (!record->hasHandle) {
        lock.unlock();
        INFRA_WARN(
            "[%s:%d] this:%p tid:%d, CThread::DestroyThread() thread handle has been invalid!\n",
            __FILE_NAME__, __LINE__, static_cast<void*>(this), currentThreadId());
        return false;
    }
    if (record->threadId == currentThreadId()) {
        return true;
    }
    while (record->running != 0 && record->destroyed) {
        record->ended.wait_for(lock, kDestroyWaitSlice);
    }
    return true;
}

bool CThread::looping() const {
    std::lock_guard lock(m_internal->mutex);
    return m_internal->loop;
}

bool CThread::isThreadOver() const {
    std::lock_guard lock(m_internal->mutex);
    return m_internal->running == 0 && !m_internal->loop;
}

int CThread::getThreadID() const {
    std::lock_guard lock(m_internal->mutex);
    return m_internal->threadId;
}

void CThread::setThreadName(const char* name) {
    std::lock_guard lock(m_internal->mutex);
    copyName(m_internal->name, name);
    if (m_internal->running != 0 && m_internal->hasHandle) {
        setSystemName(m_internal->handle, m_internal->name);
    }
}

std::string CThread::getThreadName() const {
    std::lock_guard lock(m_internal->mutex);
    return m_internal->name;
}

void CThread::sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int CThread::currentThreadId() {
    thread_local const int id = static_cast<int>(gettid());
    return id;
}

CThread::PlatformPriority CThread::platformPriority(int priority, int policy) {
    if (policy == kPolicyRealTime) {
        return PlatformPriority::kTimeCritical;
    }
    const int p = 15 + (30 - 30 * priority) / 126;
    if (p <= -15) {
        return PlatformPriority::kIdle;
    }
    if (p <= -2) {
        return PlatformPriority::kLowest;
    }
    if (p == -1) {
        return PlatformPriority::kBelowNormal;
    }
    if (p == 0) {
        return PlatformPriority::kNormal;
    }
    if (p >= 15) {
        return PlatformPriority::kTimeCritical;
    }
    if (p >= 2) {
        return PlatformPriority::kHighest;
    }
    return PlatformPriority::kAboveNormal;
}

int CThread::niceValue(PlatformPriority priority) {
    switch (priority) {
        case PlatformPriority::kIdle:
            return 19;
        case PlatformPriority::kLowest:
            return 10;
        case PlatformPriority::kBelowNormal:
            return 5;
        case PlatformPriority::kNormal:
            return 0;
        case PlatformPriority::kAboveNormal:
            return -5;
        case PlatformPriority::kHighest:
            return -10;
        case PlatformPriority::kTimeCritical:
            return -20;
    }
    return 0;
}

void* CThread::threadBody(void* argument) {
    auto* record = static_cast<Internal*>(argument);
    const int stackMarker = 0;
    const int id = currentThreadId();
    CThread* owner;
    char name[kNameMax + 1];
    {
        std::lock_guard lock(record->mutex);
        record->running = 1;
        record->threadId = id;
        owner = record->owner;
        std::memcpy(name, record->name, sizeof name);
    }
    const int policy = record->policy;
    const int priority = record->priority;

    setSystemName(pthread_self(), name);
    const int nice = niceValue(platformPriority(priority, policy));
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(id), nice) != 0 &&
        !g_niceRefusalLogged.exchange(true)) {
        // An unprivileged process may not raise a thread's priority; the thread runs anyway.
        INFRA_DEBUG(
            "[%s:%d] this:%p tid:%d, CThread::ThreadBody() thread '%s' keeps its priority, nice "
            "%d refused: %s (logged once)\n",
            __FILE_NAME__, __LINE__, static_cast<void*>(owner), id, name, nice,
            std::strerror(errno));
    }

    record->registry->addThread(&record->link);
    INFRA_DEBUG("ThreadBody Enter name = %s, id = %d, prior = %s%d, stack = %p \n", name, id,
                policy == kPolicyRealTime ? "R" : "N", priority,
                static_cast<const void*>(&stackMarker));

    owner->threadProc();

    {
        std::lock_guard lock(record->mutex);
        std::memcpy(name, record->name, sizeof name);
    }
    INFRA_DEBUG("ThreadBody leave name = %s, id = %d \n", name, id);
    record->registry->removeThread(&record->link);
    bool orphaned;
    {
        std::lock_guard lock(record->mutex);
        record->loop = false;
        record->running = 0;
        orphaned = record->orphaned;
        record->ended.notify_all();
    }
    if (orphaned) {
        delete record;
    }
    return nullptr;
}

}  // namespace Velmora::Infra
