#include "CCameraDS.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "CSampleGrabberCB.h"
#include "capture/CaptureErrorText.h"
#include "capture/CaptureStream.h"
#include "capture/DeviceEnumerator.h"
#include "framegate/IUSBCameraDeviceListerner.h"
#include "infra/DebugOutput.h"
#include "infra/Logger.h"
#include "infra/OutputDeferral.h"

using Framegate::CaptureDeviceInfo;
using Framegate::DeviceEnumerator;
using Framegate::OpenResult;
using Velmora::Infra::debugOutput;

// The open's error lines name this source and the open operation.
#define CAMERA_LOG(level, ...)                                                                  \
    Velmora::Infra::logPrint(level, "Unknown", "CameraDS", "CCameraDS::OpenCameraAndNoDisplay", \
                             __LINE__, "Unknown", __VA_ARGS__)

namespace {

constexpr int kPriorityNormal = 64;
constexpr int kWorkerPollMs = 5;
// How long an open waits for the worker to start streaming. A USB camera answers its stream
// start within a second; a hung driver must not hang the open for good.
constexpr int kStartTimeoutMs = 5000;
constexpr const char* kThermalCameraIds = "vid_1d6b&pid_0102";
constexpr size_t kNameBytes = 32;
// Log the first dropped sample and then every this many, not every one of a failing stream.
constexpr long kDropLogInterval = 100;

// Copies a UTF-8 name into `out` (kNameBytes with the NUL), never cutting a character in half.
void copyName(const std::string& name, char* out) {
    size_t length = std::min(name.size(), kNameBytes - 1);
    while (length > 0 && length < name.size() &&
           (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
        --length;
    }
    std::memcpy(out, name.data(), length);
    out[length] = '\0';
}

// Whether a windowed open has built the process's one windowed capture; later windowed opens
// succeed without building. Cleared when that build fails or its camera closes, so the next
// windowed open builds again instead of "succeeding" with no capture.
std::atomic<bool> g_windowedCaptureBuilt{false};

// The devices as the thermal-camera lookup last listed them. An open by index checks that the
// same device still sits there: a camera plugged or unplugged in between shifts the positions.
struct Listing {
    std::mutex mutex;
    std::vector<CaptureDeviceInfo> devices;
};

Listing& lastListing() {
    static Listing* listing = new Listing;  // never destroyed: exports may run during exit
    return *listing;
}

bool sameDevice(const CaptureDeviceInfo& a, const CaptureDeviceInfo& b) {
    return a.locator == b.locator && a.devicePath == b.devicePath;
}

// The devices whose stream start an open gave up while it still runs: a new open of one would
// collide with the stuck start's descriptor and buffers. Keyed by locator, since an index may
// point elsewhere after a replug. Entered by the open that gives up, left when its camera closes.
struct StuckStarts {
    std::mutex mutex;
    std::set<std::string> locators;
};

StuckStarts& stuckStarts() {
    // Never destroyed: a stuck start may return while the process exits.
    static StuckStarts* starts = new StuckStarts;
    return *starts;
}

bool isHeldByStuckStart(const std::string& locator) {
    StuckStarts& starts = stuckStarts();
    std::lock_guard lock(starts.mutex);
    return starts.locators.count(locator) != 0;
}

void setHeldByStuckStart(const std::string& locator, bool held) {
    StuckStarts& starts = stuckStarts();
    std::lock_guard lock(starts.mutex);
    if (held) {
        starts.locators.insert(locator);
    } else {
        starts.locators.erase(locator);
    }
}

}  // namespace

CCameraDS::CCameraDS() : ThreadBase("Threadbase", kPriorityNormal, 0, 0) {}

CCameraDS::~CCameraDS() {
    CloseCamera();
}

void CCameraDS::Destroy(CCameraDS* camera) {
    if (camera == nullptr) {
        return;
    }
    // A start that returns late must not deliver to a listener its owner is about to free.
    camera->m_lock.Lock();
    camera->m_pListerner.store(nullptr, std::memory_order_release);
    camera->m_lock.Unlock();
    {
        std::lock_guard lock(camera->m_startMutex);
        if (camera->m_startState == StartState::kAbandoned) {
            camera->m_bHandedOver = true;
            return;
        }
    }
    delete camera;
}

bool CCameraDS::OpenCamera(void* hWnd, int nCamID, int mirror, int orientation, int width,
                           int height) {
    debugOutput("CCameraDS::OpenCamera");
    if (m_pStream != nullptr) {
        // An open camera is closed first: a new worker must never start a stream that is being
        // replaced under it.
        CloseCamera();
    }
    m_bMirror = mirror != 0;
    m_nOrientation = orientation;
    const bool opened = hWnd != nullptr ? OpenCameraWithWindow(nCamID, width, height, hWnd)
                                        : OpenCameraAndNoDisplay(nCamID, width, height);
    if (opened) {
        m_nCameraID = nCamID;
    } else {
        debugOutput("CCameraDS::OpenCamera bRet = false\n");
    }
    return opened;
}

bool CCameraDS::OpenCameraAndNoDisplay(int nCamID, int width, int height) {
    if (!CreateThread()) {
        CAMERA_LOG(Velmora::Infra::kLogError, "CreateThread fail nCamID:%d\n", nCamID);
        return false;
    }
    debugOutput("OpenCameraAndNoDisplay\n");
    if (nCamID >= CameraCount()) {
        debugOutput("xr -CCameraDS::OpenCameraAndNoDisplay -CameraCount< nCamID\n");
        CAMERA_LOG(Velmora::Infra::kLogError,
                   "xr -CCameraDS::OpenCameraAndNoDisplay -CameraCount< nCamID\n");
        DestroyThread();
        return false;
    }
    if (!BuildCapture(nCamID, width, height, Build::kWithMessages)) {
        // The worker waits for an open that will not come: end it now.
        DestroyThread();
        return false;
    }
    {
        std::lock_guard lock(m_startMutex);
        m_startState = StartState::kPending;
    }
    m_bOpened.store(true, std::memory_order_release);
    // The worker starts streaming; a device that refuses (busy, no USB bandwidth) must fail the
    // open rather than look like a connection that never sends a frame.
    std::unique_lock lock(m_startMutex);
    const bool answered =
        m_startDone.wait_for(lock, std::chrono::milliseconds(kStartTimeoutMs),
                             [&] { return m_startState != StartState::kPending; });
    if (!answered) {
        // The worker is inside the driver and the stream is its until the start returns: give up
        // on it without waiting, and keep every other open away from the device meanwhile.
        m_startState = StartState::kAbandoned;
        m_bDeviceHeld = true;
        setHeldByStuckStart(m_locator, true);
    }
    const bool started = m_startState == StartState::kStarted;
    lock.unlock();
    if (!answered) {
        CAMERA_LOG(Velmora::Infra::kLogError,
                   "StartStream fail nCamID:%d: %s did not start within %d ms; its thread is left "
                   "waiting for the driver and the device stays reserved until the start "
                   "returns\n",
                   nCamID, m_locator.c_str(), kStartTimeoutMs);
        return false;
    }
    if (!started) {
        CAMERA_LOG(Velmora::Infra::kLogError, "StartStream fail nCamID:%d: %s\n", nCamID,
                   Framegate::captureErrorText(m_pStream->lastError(), m_locator).c_str());
        CloseCamera();
        return false;
    }
    CAMERA_LOG(Velmora::Infra::kLogTrace, "width:%d height:%d \n", m_nWidth, m_nHeight);
    return true;
}

bool CCameraDS::OpenCameraWithWindow(int nCamID, int width, int height, void* hWnd) {
    if (nCamID >= CameraCount()) {
        return false;
    }
    m_hWnd = hWnd;
    if (g_windowedCaptureBuilt.exchange(true)) {
        return true;
    }
    if (!BuildCapture(nCamID, width, height, Build::kQuiet) || !m_pStream->start(*m_pGrabberCB)) {
        g_windowedCaptureBuilt.store(false);
        return false;
    }
    m_bWindowedBuilder = true;
    m_bOpened.store(true, std::memory_order_release);
    return true;
}

bool CCameraDS::BuildCapture(int nCamID, int width, int height, Build messages) {
    const bool say = messages == Build::kWithMessages;
    if (m_pGrabberCB == nullptr) {
        m_pGrabberCB = new (std::nothrow) CSampleGrabberCB(this);
        if (m_pGrabberCB == nullptr) {
            return false;
        }
    }
    CaptureDeviceInfo device;
    if (nCamID < 0 || !BindDevice(nCamID, &device)) {
        if (say) {
            CAMERA_LOG(Velmora::Infra::kLogError, "BindDevice fail nCamID:%d \n", nCamID);
        }
        return false;
    }
    if (!StillListedAt(nCamID, device)) {
        if (say) {
            CAMERA_LOG(Velmora::Infra::kLogError,
                       "BindDevice fail nCamID:%d: the device there changed since it was listed "
                       "(now %s)\n",
                       nCamID, device.locator.c_str());
        }
        return false;
    }
    if (isHeldByStuckStart(device.locator)) {
        if (say) {
            CAMERA_LOG(Velmora::Infra::kLogError,
                       "BindDevice fail nCamID:%d: %s is still reserved by a stream start that "
                       "did not return\n",
                       nCamID, device.locator.c_str());
        }
        return false;
    }
    m_locator = device.locator;
    m_pStream = DeviceEnumerator::openStream(device);
    const OpenResult result = m_pStream->open(width, height);
    if (say) {
        switch (result) {
            case OpenResult::kOk:
                break;
            case OpenResult::kNoStreamConfig:
                CAMERA_LOG(Velmora::Infra::kLogError, "QueryInterface Failed ! \n");
                break;
            case OpenResult::kFormatUnreadable:
                CAMERA_LOG(Velmora::Infra::kLogError, "GetFormat Failed ! \n");
                break;
            case OpenResult::kFormatRejected: {
                char text[64];
                std::snprintf(text, sizeof text, "SetFormat fail nCamID:%d width:%d height:%d \n",
                              nCamID, width, height);
                CAMERA_LOG(Velmora::Infra::kLogError, "%s", text);
                break;
            }
            case OpenResult::kNotConnected:
                CAMERA_LOG(Velmora::Infra::kLogError, "GetConnectedMediaType fail hr=%08x\n",
                           static_cast<unsigned>(m_pStream->lastError()));
                break;
        }
    }
    if (result != OpenResult::kOk) {
        return false;
    }
    m_nWidth = m_pStream->width();
    m_nHeight = m_pStream->height();
    return true;
}

void CCameraDS::CloseCamera() {
    m_lock.Lock();
    m_pListerner.store(nullptr, std::memory_order_release);
    m_lock.Unlock();
    if (m_hWnd == nullptr && !isThreadOver()) {
        DestroyThread();
    }
    if (m_pStream != nullptr) {
        m_pStream->stop();
        m_pStream.reset();
        // The streaming thread's lines wait for the writer thread; once the camera is closed
        // (UinitUSBCam returned) they are in the log.
        Velmora::Infra::OutputDeferral::flush(Velmora::Infra::OutputDeferral::kFlushTimeoutMs);
    }
    if (m_bDeviceHeld) {
        // The stuck start has returned (this runs after the worker ended, or on it).
        m_bDeviceHeld = false;
        setHeldByStuckStart(m_locator, false);
    }
    delete m_pGrabberCB;
    m_pGrabberCB = nullptr;
    if (m_nDropped.load() > 0) {
        INFRA_DEBUG("camera %d dropped %ld erroneous or short samples\n", m_nCameraID,
                    m_nDropped.load());
    }
    if (m_bWindowedBuilder) {
        m_bWindowedBuilder = false;
        g_windowedCaptureBuilt.store(false);
    }
    m_bOpened.store(false);
    m_nWidth = 0;
    m_nHeight = 0;
    m_nCameraID = -1;
    m_hWnd = nullptr;
}

void CCameraDS::SetListener(IUSBCameraDeviceListerner* listener) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "CCameraDS::SetListener cameraID=%d, listener=0x%" PRIxPTR "\n", m_nCameraID,
                  reinterpret_cast<uintptr_t>(listener));
    debugOutput(text);
    m_lock.Lock();
    m_pListerner.store(listener, std::memory_order_release);
    m_lock.Unlock();
    debugOutput("SetListener End \n");
}

void CCameraDS::OnData(const unsigned char* data, long length) {
    if (length <= 0) {
        return;
    }
    if (length < static_cast<long>(m_nWidth) * m_nHeight * 2) {
        NoteDroppedSample();
        return;
    }
    m_lock.Lock();
    IUSBCameraDeviceListerner* listener = m_pListerner.load(std::memory_order_acquire);
    if (listener != nullptr && data != nullptr) {
        const char* bytes = reinterpret_cast<const char*>(data);
        if (m_nOrientation == 1 || m_nOrientation == 2) {
            listener->OnVideoData(m_nHeight, m_nWidth, bytes);
        } else {
            listener->OnVideoData(m_nWidth, m_nHeight, bytes);
        }
    } else {
        char text[512];
        std::snprintf(text, sizeof text,
                      "ERROR---USB Camera callback---CCameraDS::OnData m_pListerner=0x%" PRIxPTR
                      " \n",
                      reinterpret_cast<uintptr_t>(listener));
        debugOutput(text);
    }
    m_lock.Unlock();
}

void CCameraDS::NoteDroppedSample() {
    const long dropped = m_nDropped.fetch_add(1) + 1;
    if (dropped == 1 || dropped % kDropLogInterval == 0) {
        INFRA_DEBUG("dropped an erroneous or short sample, %ld so far\n", dropped);
    }
}

void CCameraDS::threadProc() {
    while (looping() && !m_bOpened.load(std::memory_order_acquire)) {
        sleep(kWorkerPollMs);
    }
    if (!m_bOpened.load(std::memory_order_acquire)) {
        debugOutput("=====thread exit====");
        return;
    }
    const bool started = m_pStream->start(*m_pGrabberCB);
    bool abandoned = false;
    bool handedOver = false;
    {
        std::lock_guard lock(m_startMutex);
        abandoned = m_startState == StartState::kAbandoned;
        handedOver = m_bHandedOver;
        m_startState = started ? StartState::kStarted : StartState::kRefused;
        m_startDone.notify_all();
    }
    if (abandoned) {
        // Until the owner's close or Destroy has run, the object stays alive: a close waits for
        // this thread to end.
        CAMERA_LOG(Velmora::Infra::kLogWarn,
                   "StartStream of %s returned (%s) after the open had given up on it\n",
                   m_locator.c_str(), started ? "streaming" : "refused");
    }
    debugOutput("=====thread exit====");
    if (handedOver) {
        // Nobody else holds the object any more: closing it stops a stream that started late and
        // frees the device for the next open. The thread base lets its own thread delete it.
        delete this;
    }
}

int CCameraDS::CameraCount() {
    return static_cast<int>(DeviceEnumerator::enumerate().size());
}

bool CCameraDS::BindDevice(int nCamID, CaptureDeviceInfo* device) {
    const auto devices = DeviceEnumerator::enumerate();
    if (nCamID < 0 || nCamID >= static_cast<int>(devices.size()) ||
        devices[nCamID].friendlyName.empty()) {
        return false;
    }
    *device = devices[nCamID];
    return true;
}

bool CCameraDS::StillListedAt(int nCamID, const CaptureDeviceInfo& device) {
    Listing& listing = lastListing();
    std::lock_guard lock(listing.mutex);
    // An index the lookup never listed was not chosen from a listing: nothing to compare with.
    return nCamID >= static_cast<int>(listing.devices.size()) ||
           sameDevice(listing.devices[nCamID], device);
}

bool CCameraDS::CameraName(char* name, int* index) {
    const auto devices = DeviceEnumerator::enumerate();
    {
        Listing& listing = lastListing();
        std::lock_guard lock(listing.mutex);
        listing.devices = devices;
    }
    // The search always starts at the first device; the index counts positions.
    *index = 0;
    for (const CaptureDeviceInfo& device : devices) {
        char text[128];
        std::snprintf(text, sizeof text, "CCameraDS::CameraName nCamID=%d, count=%d \n", *index,
                      *index);
        debugOutput(text);
        if (!device.friendlyName.empty()) {
            copyName(device.friendlyName, name);
            if (device.devicePath.find(kThermalCameraIds) != std::string::npos) {
                std::snprintf(text, sizeof text, "CCameraDS::CameraName find device nCamID=%d\n",
                              *index);
                debugOutput(text);
                return true;
            }
        }
        ++*index;
    }
    return false;
}
