// The virtual camera's capture stream: a fixed-format sensor that plays a VirtualScenario.
//
// open, start and stop run on the caller's (controlling) thread; frames are rendered and
// delivered on the stream's own thread "VirtualCapture", paced at the scenario's frame rate
// against absolute deadlines. A file-backed camera watches its scenario file while streaming:
// once the file is gone it delivers nothing more, like a camera pulled from its port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureStream.h"
#include "capture/virtual/VirtualScenario.h"
#include "capture/virtual/VirtualScene.h"
#include "infra/CThread.h"

namespace Framegate {

class VirtualCapture : public CaptureStream, private Velmora::Infra::CThread {
public:
    // `locator`: VirtualScenario::kDemoLocator or the path of a scenario file.
    explicit VirtualCapture(std::string locator);
    ~VirtualCapture() override;

    // Ignores the requested size and grants the scenario's. kNoStreamConfig with lastError ENOENT
    // when the scenario file is gone, EBUSY while streaming; a bad file opens with the defaults.
    OpenResult open(int width, int height) override;
    int width() const override { return m_scenario.width(); }
    int height() const override { return m_scenario.height(); }
    int lastError() const override { return m_lastError; }

    // False before a successful open and while already streaming. A scenario whose start hangs
    // returns only once its file is gone, refused with ENODEV.
    bool start(FrameSink& sink) override;
    void stop() override;

private:
    void threadProc() override;
    // The streaming loop; returns once stop() asked for it.
    void stream(FrameSink& sink);
    // Hands over the frame due `elapsed` after the start, after reporting the `missed` frames
    // skipped before it; nothing while the scenario stalls.
    void deliver(FrameSink& sink, std::chrono::milliseconds elapsed, uint64_t missed);

    const std::string m_locator;
    // Set by open and start on the controlling thread before the stream thread starts, and only
    // read by the stream thread (the frame buffer and scene are its own) until stop joined it.
    VirtualScenario m_scenario;
    std::unique_ptr<VirtualScene> m_scene;
    std::vector<uint8_t> m_frame;
    FrameSink* m_sink = nullptr;
    int m_lastError = 0;
    bool m_streaming = false;  // controlling thread only

    // The stop request, and the wake-up that cuts the stream thread's waits short.
    std::mutex m_mutex;
    std::condition_variable m_wakeup;
    bool m_stopping = false;
};

}  // namespace Framegate
