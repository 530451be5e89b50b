#include "CSampleGrabberCB.h"

#include "CCameraDS.h"

void CSampleGrabberCB::OnData(const unsigned char* data, long length) {
    if (m_pOwner != nullptr && m_pOwner->HasListener()) {
        m_pOwner->OnData(data, length);
    }
}

void CSampleGrabberCB::OnDroppedSample() {
    if (m_pOwner != nullptr) {
        m_pOwner->NoteDroppedSample();
    }
}
