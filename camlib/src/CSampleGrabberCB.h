// Receives the samples of a capture stream on its streaming thread and forwards them to the
// owning camera object.
#pragma once

#include "capture/FrameSink.h"

class CCameraDS;

class CSampleGrabberCB : public Framegate::FrameSink {
public:
    explicit CSampleGrabberCB(CCameraDS* owner) : m_pOwner(owner) {}
    virtual ~CSampleGrabberCB() = default;

    // Streaming thread. Skips samples while no listener is set (read without the camera lock);
    // the camera tests it again under the lock.
    void OnData(const unsigned char* data, long length) override;
    void OnDroppedSample() override;

private:
    CCameraDS* m_pOwner;  // not owned
};
