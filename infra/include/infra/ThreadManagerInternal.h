// The process-wide registry of running CThread bodies: each adds itself at the front of the list
// when it starts and removes itself when it ends. Any thread.
#pragma once

#include <cstddef>

#include "infra/CMutex.h"

namespace Velmora::Infra {

class SingletonExit;

class ThreadManagerInternal {
public:
    // A thread record's place in the list.
    struct Link {
        Link* previous = nullptr;
        Link* next = nullptr;
    };

    // Created on first use and never destroyed: thread bodies may still run while exit handlers
    // do, and would then touch a freed registry.
    static ThreadManagerInternal* instance();

    void addThread(Link* link);
    void removeThread(Link* link);
    // The number of thread bodies running now.
    std::size_t threadCount();

private:
    friend class SingletonExit;
    ThreadManagerInternal() = default;

    CMutex m_mutex;
    Link* m_head = nullptr;
    std::size_t m_count = 0;
};

}  // namespace Velmora::Infra
