// A mutex that counts how deep its owner has entered it. The owner id is kept atomically so that
// any thread can ask whether it holds the mutex without taking it.
// Any thread; lock and unlock must pair on the same thread.
#pragma once

#include <atomic>
#include <mutex>

namespace Velmora::Infra {

class CRecursiveMutex {
public:
    CRecursiveMutex() = default;
    CRecursiveMutex(const CRecursiveMutex&) = delete;
    CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

    // Enters the mutex; the owner entering again only counts one level deeper.
    void lock();
    // Leaves one level; the last one releases the mutex.
    void unlock();

    bool isOwnedByCurrentThread() const;
    // How many times the owner has entered; 0 when the caller does not own the mutex.
    int depth() const;

private:
    std::mutex m_mutex;
    std::atomic<int> m_owner{0};
    int m_depth = 0;  // only read or written by the owner
};

}  // namespace Velmora::Infra
