#include "infra/CRecursiveMutex.h"

#include "infra/CThread.h"

namespace Velmora::Infra {

void CRecursiveMutex::lock() {
    if (isOwnedByCurrentThread()) {
        ++m_depth;
        return;
    }
    m_mutex.lock();
    m_owner.exchange(CThread::currentThreadId());
    m_depth = 1;
}

void CRecursiveMutex::unlock() {
    if (--m_depth == 0) {
        m_owner.exchange(0);
        m_mutex.unlock();
    }
}

bool CRecursiveMutex::isOwnedByCurrentThread() const {
    return m_owner.load() == CThread::currentThreadId();
}

int CRecursiveMutex::depth() const {
    return isOwnedByCurrentThread() ? m_depth : 0;
}

}  // namespace Velmora::Infra
