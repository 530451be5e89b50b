#include "capture/virtual/VirtualCapture.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

#include "capture/CaptureErrorText.h"
#include "capture/FrameSink.h"
#include "framegate/FrameMetadata.h"
#include "infra/Logger.h"
#include "infra/OutputDeferral.h"

namespace Framegate {

namespace {

using Clock = std::chrono::steady_clock;

// How often a streaming file-backed camera looks for its file: half the 100 ms within which an
// unplugged camera must fall silent.
constexpr auto kPresenceCheck = std::chrono::milliseconds(50);

}  // namespace

VirtualCapture::VirtualCapture(std::string locator)
    : CThread("VirtualCapture"), m_locator(std::move(locator)) {}

VirtualCapture::~VirtualCapture() {
    stop();
}

OpenResult VirtualCapture::open(int /*width*/, int /*height*/) {
    // The stream thread reads the scenario and scene; they must not change under it.
    if (m_streaming) {
        m_lastError = EBUSY;
        return OpenResult::kNoStreamConfig;
    }
    if (!VirtualScenario::isPresent(m_locator)) {
        m_lastError = ENOENT;
        INFRA_DEBUG("virtual camera %s: scenario file is gone\n", m_locator.c_str());
        return OpenResult::kNoStreamConfig;
    }
    m_scenario = VirtualScenario::forLocator(m_locator);
    m_scene = std::make_unique<VirtualScene>(m_scenario.width(), m_scenario.height());
    m_frame.assign(m_scene->frameBytes(), 0);
    m_lastError = 0;
    INFRA_DEBUG("virtual camera %s: %dx%d at %.3g fps\n", m_locator.c_str(), m_scenario.width(),
                m_scenario.height(), m_scenario.fps());
    return OpenResult::kOk;
}

bool VirtualCapture::start(FrameSink& sink) {
    if (!m_scene || m_streaming) {
        return false;
    }
    if (m_scenario.startHangs()) {
        // A driver stuck in its stream start answers only once its device is gone.
        while (VirtualScenario::isPresent(m_locator)) {
            std::this_thread::sleep_for(kPresenceCheck);
        }
        m_lastError = ENODEV;
        INFRA_ERROR("virtual camera %s: stream start ended, %s\n", m_locator.c_str(),
                    captureErrorText(m_lastError, m_locator).c_str());
        return false;
    }
    if (m_scenario.startError() != 0) {
        m_lastError = m_scenario.startError();
        INFRA_ERROR("virtual camera %s: stream start refused, %s\n", m_locator.c_str(),
                    captureErrorText(m_lastError, m_locator).c_str());
        return false;
    }
    m_sink = &sink;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    m_streaming = createThread();
    if (!m_streaming) {
        m_lastError = EAGAIN;
    }
    return m_streaming;
}

void VirtualCapture::stop() {
    if (!m_streaming) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wakeup.notify_all();
    destroyThread();
    m_streaming = false;
}

void VirtualCapture::threadProc() {
    // Frames must not wait for a console or log file that blocks.
    const Velmora::Infra::OutputDeferral::Scope deferOutput;
    stream(*m_sink);
    // stop() wakes this thread just before destroyThread clears the loop flag. Ending only after
    // that keeps destroyThread from finding the thread already gone, which it warns about.
    while (looping()) {
        CThread::sleep(1);
    }
}

void VirtualCapture::stream(FrameSink& sink) {
    const bool watchFile = m_locator != VirtualScenario::kDemoLocator;
    const double fps = m_scenario.fps();
    const Clock::time_point begin = Clock::now();
    // Deadlines are computed from the frame number, never accumulated, so the pace cannot drift.
    const auto deadlineOf = [begin, fps](uint64_t frame) {
        return begin + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(static_cast<double>(frame) / fps));
    };
    uint64_t frame = 0;
    Clock::time_point nextCheck = begin + kPresenceCheck;

    std::unique_lock lock(m_mutex);
    const auto stopping = [this] { return m_stopping; };
    for (;;) {
        const Clock::time_point deadline = deadlineOf(frame);
        if (m_wakeup.wait_until(lock, watchFile ? std::min(deadline, nextCheck) : deadline,
                                stopping)) {
            return;
        }
        lock.unlock();
        const Clock::time_point now = Clock::now();
        if (watchFile && now >= nextCheck) {
            if (!VirtualScenario::isPresent(m_locator)) {
                INFRA_INFO("virtual camera %s unplugged: scenario file is gone\n",
                           m_locator.c_str());
                lock.lock();
                m_wakeup.wait(lock, stopping);
                return;
            }
            nextCheck = now + kPresenceCheck;
        }
        if (now >= deadline) {
            // Behind by a whole period or more (a slow sink, a suspended process): skip to the
            // newest due frame, as a sensor overwriting its buffer would.
            const auto due = static_cast<uint64_t>(
                std::floor(std::chrono::duration<double>(now - begin).count() * fps));
            const uint64_t missed = due > frame ? due - frame : 0;
            frame += missed;
            deliver(
                sink,
                std::chrono::duration_cast<std::chrono::milliseconds>(deadlineOf(frame) - begin),
                missed);
            ++frame;
        }
        lock.lock();
    }
}

void VirtualCapture::deliver(FrameSink& sink, std::chrono::milliseconds elapsed, uint64_t missed) {
    const VirtualScenario::FrameState state = m_scenario.stateAt(elapsed, std::time(nullptr));
    if (state.stall) {
        return;
    }
    for (uint64_t i = 0; i < missed; ++i) {
        sink.OnDroppedSample();
    }
    m_scene->render(elapsed, m_frame.data());
    writeBigEndian(m_frame.data(), state.captureTime);
    writeLittleEndian(m_frame.data() + m_frame.size() - 4, state.flags);
    sink.OnData(m_frame.data(), static_cast<long>(m_frame.size()));
}

}  // namespace Framegate
