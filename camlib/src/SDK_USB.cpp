// The five plain exports and the registry of open cameras.
#include "framegate/SDK_USB.h"

#include <map>
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

struct Entry {
    USBCameraDevice* device = nullptr;
    CUSBCameraDeviceListerner* listener = nullptr;
};

// Open cameras by index. The exports are meant to be called from one thread; the mutex keeps
// the map whole should two threads call anyway. Never destroyed: a camera still open at exit
// keeps its objects, and nothing may find the map gone while the process ends.
struct Registry {
    std::mutex mutex;
    std::map<int, Entry> entries;
};

Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
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
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    if (reg.entries.count(nCamID) != 0) {
        SDK_LOG(kLogError, "CamID is Exist!\n");
        return -1;
    }
    auto* device = new USBCameraDevice;
    if (device->Init() != 0) {
        // Without its camera object the device could never deliver: nothing is registered.
        SDK_LOG(kLogError, "USBCameraDevice Init FAIL!\n");
        debugOutput("InitUSBCam -->end!\n");
        destroyDevice(device);
        return -1;
    }
    // The device opens its camera object the way the class surface does, with its own
    // debugger lines; without a camera object it reports success and registers empty.
    if (device->OpenCamera(nCamID, width, height, mirror, orientation, nullptr) != 0) {
        SDK_LOG(kLogError, "OpenCamera FAIL!\n");
        debugOutput("InitUSBCam -->end!\n");
        // A failed attempt leaves nothing behind: device, camera object and worker go.
        destroyDevice(device);
        return -1;
    }
    reg.entries[nCamID] = Entry{device, nullptr};
    debugOutput("InitUSBCam -->end!\n");
    return 0;
}

int RegisterUSBStreamCallBack(int nCamID, USBStreamCallBack callback) {
    TRACEPOINT();
    debugOutput("RegisterUSBStreamCallBack start\n");
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    const auto found = reg.entries.find(nCamID);
    if (found == reg.entries.end()) {
        SDK_LOG(kLogError, "CamID not Exist!\n");
        return -1;
    }
    Entry& entry = found->second;
    if (entry.listener != nullptr) {
        // Detaching waits for a delivery in progress: afterwards the old function is never
        // entered again.
        entry.device->SetListener(nullptr);
        delete entry.listener;
        entry.listener = nullptr;
    }
    entry.listener = new CUSBCameraDeviceListerner;
    entry.listener->SetCB(callback);
    entry.device->SetListener(entry.listener);
    debugOutput("RegisterUSBStreamCallBack-->end\n");
    return 2;
}

int UinitUSBCam(int nCamID) {
    debugOutput("UinitUSBCam -->start\n");
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    TRACEPOINT();
    const auto found = reg.entries.find(nCamID);
    if (found == reg.entries.end()) {
        SDK_LOG(kLogError, "CamID is not Exist! UinitUSBCam Error\n");
        debugOutput("CamID is not Exist! UinitUSBCam Error\n");
        return -1;
    }
    Entry& entry = found->second;
    TRACEPOINT();
    entry.device->SetListener(nullptr);
    TRACEPOINT();
    if (entry.listener != nullptr) {
        entry.listener->SetCB(nullptr);
    }
    TRACEPOINT();
    entry.device->CloseCamera();
    TRACEPOINT();
    entry.device->UnInit();
    TRACEPOINT();
    delete entry.device;
    TRACEPOINT();
    delete entry.listener;
    TRACEPOINT();
    reg.entries.erase(found);
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
