// Turns the listener interface into a call of the client's plain callback function.
#pragma once

#include "framegate/IUSBCameraDeviceListerner.h"
#include "framegate/SDK_USB.h"
#include "infra/CMutex.h"
#include "infra/CTimer.h"

class CUSBCameraDeviceListerner : public IUSBCameraDeviceListerner {
public:
    CUSBCameraDeviceListerner();
    virtual ~CUSBCameraDeviceListerner();

    // Export thread. Sets (or, with null, clears) the callback. Returns 0.
    int SetCB(USBStreamCallBack callback);

    // Streaming thread, camera lock held: calls the callback (outside this object's mutex)
    // with the length computed from the dimensions and format code 19.
    int OnVideoData(int width, int height, const char* data) override;
    int OnNotify(int code, int value) override;

private:
    USBStreamCallBack m_callback = nullptr;  // guarded by m_mutex
    Velmora::Infra::CMutex m_mutex;
    // Never started; constructing it keeps the timer manager running while cameras are in use.
    Velmora::Infra::CTimer m_testTimer;
};
