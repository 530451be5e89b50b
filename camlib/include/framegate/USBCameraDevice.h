// Framegate's camera class: owns one capture object and opens, streams and closes it.
// Not thread-safe: call it from one thread. SetListener and CloseCamera wait for a frame delivery
// in progress and must not be called from inside OnVideoData of the same camera.
#pragma once

#include "framegate/FramegateApi.h"
#include "framegate/IUSBCameraDeviceListerner.h"

class CCameraDS;

class FRAMEGATE_API USBCameraDevice {
public:
    USBCameraDevice();
    // Closes and destroys a camera object that was not released with UnInit: no frame reaches
    // the listener once the destructor has returned.
    ~USBCameraDevice();
    USBCameraDevice(const USBCameraDevice&) = delete;
    USBCameraDevice& operator=(const USBCameraDevice&) = delete;

    // Creates the capture object unless there is one. 0, or -1 when it cannot be created.
    int Init();
    // Destroys the capture object (closing it and waiting for its worker). A camera whose stream
    // start did not answer (OpenCamera failed after 5 s) is left to its worker, which destroys it
    // once the driver returns; the device cannot be opened again until then. Always 0.
    int UnInit();
    // Opens camera `nCamID`; a null `hWnd` selects the open without preview. 0 or -1. An open
    // camera is closed first, detaching its listener: call SetListener after OpenCamera.
    int OpenCamera(int nCamID, int width, int height, int mirror, int orientation, void* hWnd);
    int CloseCamera();
    // Attaches (or, with null, detaches) the listener. Always 0.
    int SetListener(IUSBCameraDeviceListerner* listener);
    void SetMirrorConvert(bool mirror);

    // The thermal-camera lookup behind the plain GetUsbDeviceNum.
    static bool GetUsbDeviceNum(int& index, char* name);

private:
    CCameraDS* m_pCamera;
};
