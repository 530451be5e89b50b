// The five plain exports and the registry of open cameras.
#include "framegate/SDK_USB.h"

#include <map>
#include <memory>
#include <mutex>

#include "CUSBCameraDeviceListerner.h"
#include "framegate/USBCameraDevice.h"
#include "infra/CTime.h"
#include "infra/DebugOutput.h"
#include "infra/Logger.h"

using Velmora::Infra::debugOutput;
using Velmora::Infra::kLogDebug;
using Velmora::Infra::kLogError;
using Velmora::Infra::kLogTrace;

#define SDK_LOG(level, ...)                                                              \
    Velmora::Infra::logPrint(level, "Unknown", "SDK_USB", __func__, __LINE__, "Unknown", \
                             __VA_ARGS__)
#define TRACEPOINT() SDK_LOG(kLogDebug, "tracepoint:\n")

namespace {

// One registered camera. `operation` serialises the exports' work on it, blocking waits
// included (an open waiting for its stream, a close waiting for a delivery); the objects are
// touched only under it. A null device means the camera is gone: its open failed or it was
// closed while another call waited for it.
struct Camera {
    std::mutex operation;
    USBCameraDevice* device = nullptr;
    CUSBCameraDeviceListerner* listener = nullptr;
};

// Open cameras by index. The exports are meant to be called from one thread; the mutex keeps
// the map whole should two threads call anyway, and is held only to look up, insert or erase,
// never across a wait: a callback of one camera may call an export for another. Never
// destroyed: a camera still open at exit keeps its objects, and nothing may find the map gone
// while the process ends.
struct Registry {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Camera>> cameras;
};

Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

std::shared_ptr<Camera> findCamera(int nCamID) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    const auto found = reg.cameras.find(nCamID);
    return found != reg.cameras.end() ? found->second : nullptr;
}

void forgetCamera(int nCamID, const std::shared_ptr<Camera>& camera) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    const auto found = reg.cameras.find(nCamID);
    if (found != reg.cameras.end() && found->second == camera) {
        reg.cameras.erase(found);
    }
}

void configureLogger() {
    const Velmora::Infra::CTime now = Velmora::Infra::CTime::getCurrentTime();
    char path[256];
    // The hour is left-justified in two columns: log file names have always looked like this.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    std::snprintf(path, sizeof path, "%s%4d%02d%02d%-02d%02dsdk_usb.log", "./QZLog/", now.year,
                  now.month, now.day, now.hour, now.minute);
#pragma GCC diagnostic pop
    const char* const pathCommand[] = {"-logpath", path};
    const char* const levelCommand[] = {"-loglevel", "6"};
    const char* const sizeCommand[] = {"-logsize", "1024*1024*50"};
    Velmora::Infra::logFilter(2, pathCommand);
    Velmora::Infra::logFilter(2, levelCommand);
    Velmora::Infra::logFilter(2, sizeCommand);
}

void destroyDevice(USBCameraDevice* device) {
    device->UnInit();
    delete device;
}

}  // namespace

extern "C" {

int InitUSBCam(int nCamID, int width, int height, int mirror, int orientation) {
    debugOutput("InitUSBCam -->start\n");
    configureLogger();
    SDK_LOG(kLogTrace, "nCamID :%d\n,witdh:%d\n,height:%d\n", nCamID, width, height);
    // The index is taken before the open so that a second open of it is refused at once; the
    // camera's own lock keeps other calls for it waiting until the open has ended.
    auto camera = std::make_shared<Camera>();
    std::unique_lock operation(camera->operation);
    {
        Registry& reg = registry();
        std::lock_guard lock(reg.mutex);
        if (!reg.cameras.emplace(nCamID, camera).second) {
            SDK_LOG(kLogError, "CamID is Exist!\n");
            return -1;
        }
    }
    auto* device = new USBCameraDevice;
    const auto failed = [&](const char* line) {
        SDK_LOG(kLogError, "%s", line);
        debugOutput("InitUSBCam -->end!\n");
        // A failed attempt leaves nothing behind: device, camera object and worker go.
        destroyDevice(device);
        forgetCamera(nCamID, camera);
        return -1;
    };
    if (device->Init() != 0) {
        // Without its camera object the device could never deliver: nothing is registered.
        return failed("USBCameraDevice Init FAIL!\n");
    }
    if (device->OpenCamera(nCamID, width, height, mirror, orientation, nullptr) != 0) {
        return failed("OpenCamera FAIL!\n");
    }
    camera->device = device;
    debugOutput("InitUSBCam -->end!\n");
    return 0;
}

int RegisterUSBStreamCallBack(int nCamID, USBStreamCallBack callback) {
    TRACEPOINT();
    debugOutput("RegisterUSBStreamCallBack start\n");
    const std::shared_ptr<Camera> camera = findCamera(nCamID);
    std::unique_lock<std::mutex> operation;
    if (camera != nullptr) {
        operation = std::unique_lock(camera->operation);
    }
    if (camera == nullptr || camera->device == nullptr) {
        SDK_LOG(kLogError, "CamID not Exist!\n");
        return -1;
    }
    if (camera->listener != nullptr) {
        // Detaching waits for a delivery in progress: afterwards the old function is never
        // entered again.
        camera->device->SetListener(nullptr);
        delete camera->listener;
        camera->listener = nullptr;
    }
    camera->listener = new CUSBCameraDeviceListerner;
    camera->listener->SetCB(callback);
    camera->device->SetListener(camera->listener);
    debugOutput("RegisterUSBStreamCallBack-->end\n");
    return 2;
}

int UinitUSBCam(int nCamID) {
    debugOutput("UinitUSBCam -->start\n");
    TRACEPOINT();
    const std::shared_ptr<Camera> camera = findCamera(nCamID);
    std::unique_lock<std::mutex> operation;
    if (camera != nullptr) {
        operation = std::unique_lock(camera->operation);
    }
    if (camera == nullptr || camera->device == nullptr) {
        SDK_LOG(kLogError, "CamID is not Exist! UinitUSBCam Error\n");
        debugOutput("CamID is not Exist! UinitUSBCam Error\n");
        return -1;
    }
    TRACEPOINT();
    camera->device->SetListener(nullptr);
    TRACEPOINT();
    if (camera->listener != nullptr) {
        camera->listener->SetCB(nullptr);
    }
    TRACEPOINT();
    camera->device->CloseCamera();
    TRACEPOINT();
    camera->device->UnInit();
    TRACEPOINT();
    delete camera->device;
    camera->device = nullptr;
    TRACEPOINT();
    delete camera->listener;
    camera->listener = nullptr;
    TRACEPOINT();
    // Erased only now: the index cannot be opened again while its device is still closing.
    forgetCamera(nCamID, camera);
    return 0;
}

bool GetUsbDeviceNum(int* index, char* name) {
    debugOutput("xr-GetUsbDeviceNum start\n");
    if (index == nullptr || name == nullptr) {
        return false;
    }
    return USBCameraDevice::GetUsbDeviceNum(*index, name);
}

bool SetLogTrace(const char* text) {
    if (text != nullptr) {
        SDK_LOG(kLogTrace, "%s", text);
    }
    return true;
}

}  // extern "C"
