#include "infra/CMutex.h"

namespace Velmora::Infra {

void CMutex::lock() {
    m_mutex.lock();
}

void CMutex::unlock() {
    m_mutex.unlock();
}

}  // namespace Velmora::Infra
