#include "CUSBCameraDeviceListerner.h"

#include "infra/Logger.h"

namespace {
constexpr int kFormatCode = 19;
}

CUSBCameraDeviceListerner::CUSBCameraDeviceListerner() : m_testTimer("TestCB") {}

CUSBCameraDeviceListerner::~CUSBCameraDeviceListerner() = default;

int CUSBCameraDeviceListerner::SetCB(USBStreamCallBack callback) {
    INFRA_TRACE("callBack addr;%p\n", reinterpret_cast<void*>(callback));
    m_mutex.lock();
    m_callback = callback;
    m_mutex.unlock();
    INFRA_TRACE("callBack addr;%p leave\n", reinterpret_cast<void*>(callback));
    return 0;
}

int CUSBCameraDeviceListerner::OnVideoData(int width, int height, const char* data) {
    m_mutex.lock();
    const USBStreamCallBack callback = m_callback;
    m_mutex.unlock();
    if (callback != nullptr) {
        callback(width, height, data, width * height * 2, kFormatCode);
    }
    return 0;
}

int CUSBCameraDeviceListerner::OnNotify(int, int) {
    return 0;
}
