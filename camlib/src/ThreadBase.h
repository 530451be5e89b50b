// The camera object's thread: CThread behind virtual operations.
#pragma once

#include "infra/CThread.h"

class ThreadBase : public Velmora::Infra::CThread {
public:
    ThreadBase(const char* name, int priority, int policy, int stackSize);
    // The CThread part waits for a running thread to end.
    ~ThreadBase() override;

    // Empty here; the camera object runs its worker body in it.
    void threadProc() override;
    virtual bool CreateThread();
    virtual bool DestroyThread();
};
