#include "CCameraDS.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "CSampleGrabberCB.h"
#include "capture/CaptureStream.h"
#include "capture/DeviceEnumerator.h"
#include "framegate/IUSBCameraDeviceListerner.h"
#include "infra/DebugOutput.h"
#include "infra/Logger.h"

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

// The process-wide count of windowed opens; only the first one builds a capture.
std::atomic<int> g_windowedOpens{0};

}  // namespace

CCameraDS::CCameraDS() : ThreadBase("Threadbase", kPriorityNormal, 0, 0) {}

CCameraDS::~CCameraDS() {
    CloseCamera();
}

bool CCameraDS::OpenCamera(void* hWnd, int nCamID, int mirror, int orientation, int width,
                           int height) {
    debugOutput("CCameraDS::OpenCamera");
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
    CreateThread();
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
    m_bOpened.store(true, std::memory_order_release);
    CAMERA_LOG(Velmora::Infra::kLogTrace, "width:%d height:%d \n", m_nWidth, m_nHeight);
    return true;
}

bool CCameraDS::OpenCameraWithWindow(int nCamID, int width, int height, void* hWnd) {
    if (nCamID >= CameraCount()) {
        return false;
    }
    m_hWnd = hWnd;
    if (g_windowedOpens.fetch_add(1) + 1 > 1) {
        return true;
    }
    if (!BuildCapture(nCamID, width, height, Build::kQuiet) || !m_pStream->start(*m_pGrabberCB)) {
        return false;
    }
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
    }
    delete m_pGrabberCB;
    m_pGrabberCB = nullptr;
    if (m_nDropped.load() > 0) {
        INFRA_DEBUG("camera %d dropped %ld erroneous or short samples\n", m_nCameraID,
                    m_nDropped.load());
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
    if (m_bOpened.load(std::memory_order_acquire)) {
        m_pStream->start(*m_pGrabberCB);
    }
    debugOutput("=====thread exit====");
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

bool CCameraDS::CameraName(char* name, int* index) {
    const auto devices = DeviceEnumerator::enumerate();
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
