#include "CSFMutex.h"

#include <new>

CSFMutex::CSFMutex() : m_pSection(new (std::nothrow) Velmora::Infra::CMutex) {}

CSFMutex::~CSFMutex() {
    delete m_pSection;
}

void CSFMutex::Lock() {
    if (m_pSection != nullptr) {
        m_pSection->lock();
    }
}

void CSFMutex::Unlock() {
    if (m_pSection != nullptr) {
        m_pSection->unlock();
    }
}
