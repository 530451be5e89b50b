#include "ThreadBase.h"

ThreadBase::ThreadBase(const char* name, int priority, int policy, int stackSize)
    : CThread(name, priority, policy, stackSize) {}

ThreadBase::~ThreadBase() = default;

void ThreadBase::threadProc() {}

bool ThreadBase::CreateThread() {
    return createThread();
}

bool ThreadBase::DestroyThread() {
    return destroyThread();
}
