#include "framegate/USBCameraDevice.h"

#include <new>

#include "CCameraDS.h"
#include "infra/DebugOutput.h"

using Velmora::Infra::debugOutput;

USBCameraDevice::USBCameraDevice() : m_pCamera(nullptr) {}

USBCameraDevice::~USBCameraDevice() {
    // A camera still streaming would go on calling a listener its owner is about to free.
    UnInit();
}

int USBCameraDevice::Init() {
    if (m_pCamera != nullptr) {
        return 0;
    }
    m_pCamera = new (std::nothrow) CCameraDS;
    return m_pCamera != nullptr ? 0 : -1;
}

int USBCameraDevice::UnInit() {
    if (m_pCamera != nullptr) {
        // A camera whose stream start never answered is left to its worker, not waited for.
        CCameraDS::Destroy(m_pCamera);
        m_pCamera = nullptr;
        debugOutput("WARMING---USB Camera delete---USBCameraDevice::UnInit() \n");
    }
    return 0;
}

int USBCameraDevice::OpenCamera(int nCamID, int width, int height, int mirror, int orientation,
                                void* hWnd) {
    debugOutput("xr -USBCameraDevice::OpenCamera");
    if (m_pCamera == nullptr) {
        return 0;
    }
    return m_pCamera->OpenCamera(hWnd, nCamID, mirror, orientation, width, height) ? 0 : -1;
}

int USBCameraDevice::CloseCamera() {
    if (m_pCamera != nullptr) {
        m_pCamera->CloseCamera();
    }
    return 0;
}

int USBCameraDevice::SetListener(IUSBCameraDeviceListerner* listener) {
    if (m_pCamera != nullptr) {
        m_pCamera->SetListener(listener);
    }
    return 0;
}

void USBCameraDevice::SetMirrorConvert(bool mirror) {
    if (m_pCamera != nullptr) {
        m_pCamera->SetMirror(mirror);
    }
}

bool USBCameraDevice::GetUsbDeviceNum(int& index, char* name) {
    return CCameraDS::CameraName(name, &index);
}
