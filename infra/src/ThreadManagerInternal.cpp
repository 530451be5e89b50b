#include "infra/ThreadManagerInternal.h"

#include <mutex>

#include "infra/SingletonExit.h"

namespace Velmora::Infra {

ThreadManagerInternal* ThreadManagerInternal::instance() {
    return SingletonExit::instance<ThreadManagerInternal>(SingletonExit::Lifetime::kForever,
                                                          __FILE_NAME__, __func__, __LINE__);
}

void ThreadManagerInternal::addThread(Link* link) {
    std::lock_guard lock(m_mutex);
    link->previous = nullptr;
    link->next = m_head;
    if (m_head != nullptr) {
        m_head->previous = link;
    }
    m_head = link;
    ++m_count;
}

void ThreadManagerInternal::removeThread(Link* link) {
    std::lock_guard lock(m_mutex);
    if (link->previous != nullptr) {
        link->previous->next = link->next;
    } else {
        m_head = link->next;
    }
    if (link->next != nullptr) {
        link->next->previous = link->previous;
    }
    link->previous = nullptr;
    link->next = nullptr;
    --m_count;
}

std::size_t ThreadManagerInternal::threadCount() {
    std::lock_guard lock(m_mutex);
    return m_count;
}

}  // namespace Velmora::Infra
