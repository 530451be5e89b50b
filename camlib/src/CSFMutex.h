// The camera lock: guards the listener pointer and every frame delivery.
#pragma once

#include "infra/CMutex.h"

class CSFMutex {
public:
    CSFMutex();
    virtual ~CSFMutex();
    CSFMutex(const CSFMutex&) = delete;
    CSFMutex& operator=(const CSFMutex&) = delete;

    // Both are skipped when the mutex could not be created.
    void Lock();
    void Unlock();

private:
    Velmora::Infra::CMutex* m_pSection;
};
