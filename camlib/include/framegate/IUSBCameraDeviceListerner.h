// Receives the frames of a USBCameraDevice.
#pragma once

class IUSBCameraDeviceListerner {
public:
    // Every delivered frame, on the camera's streaming thread, with the camera lock held.
    // `data` is valid only during the call. The result is ignored.
    virtual int OnVideoData(int width, int height, const char* data) = 0;
    // Never called by the library.
    virtual int OnNotify(int code, int value) = 0;

protected:
    // Owners delete the concrete class, never through this interface.
    ~IUSBCameraDeviceListerner() = default;
};
