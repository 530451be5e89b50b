#include "infra/CSemaphore.h"

#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "infra/Assert.h"

namespace Velmora::Infra {

struct CSemaphore::Internal {
    sem_t semaphore;
    sem_t* m_handle = nullptr;  // null when the semaphore could not be made
};

namespace {
// The maximum count of the platform semaphore this class stands in for.
constexpr int kMaxCount = INT_MAX;
static_assert(kMaxCount <= SEM_VALUE_MAX);
}  // namespace

CSemaphore::CSemaphore(int initialCount) : m_internal(new Internal) {
    const unsigned value = static_cast<unsigned>(std::clamp(initialCount, 0, kMaxCount));
    if (sem_init(&m_internal->semaphore, 0, value) == 0) {
        m_internal->m_handle = &m_internal->semaphore;
    }
    INFRA_ASSERT(m_internal->m_handle);
}

CSemaphore::~CSemaphore() {
    sem_destroy(m_internal->m_handle);
    delete m_internal;
}

int CSemaphore::pend() {
    int result;
    do {
        result = sem_wait(m_internal->m_handle);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : -1;
}

int CSemaphore::tryPend() {
    int result;
    do {
        result = sem_trywait(m_internal->m_handle);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : -1;
}

int CSemaphore::post() {
    return sem_post(m_internal->m_handle) == 0 ? 0 : -1;
}

}  // namespace Velmora::Infra
