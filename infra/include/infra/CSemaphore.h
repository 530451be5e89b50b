// A counting semaphore (maximum count 2147483647). Any thread.
#pragma once

namespace Velmora::Infra {

class CSemaphore {
public:
    explicit CSemaphore(int initialCount = 0);
    ~CSemaphore();
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    // Waits without limit for a count. 0 on success, -1 otherwise.
    int pend();
    // Takes a count only when one is there. 0 on success, -1 when none is.
    int tryPend();
    // Releases one count. 0 on success, -1 when the count is at its maximum.
    int post();

private:
    struct Internal;
    Internal* m_internal;
};

}  // namespace Velmora::Infra
