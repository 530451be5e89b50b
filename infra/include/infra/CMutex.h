// A mutex its owner thread may lock again, as the library's code expects of a critical section.
// Any thread; lock and unlock must pair on the same thread.
#pragma once

#include <mutex>

namespace Velmora::Infra {

class CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void lock();
    void unlock();

private:
    std::recursive_mutex m_mutex;
};

}  // namespace Velmora::Infra
