// Framegate's open, close and register calls as the device connection manager needs them, for
// the frame intake fuzzer: every camera opens, and no frame ever comes from here. The fuzzer
// calls the stream callback itself, with whatever a misbehaving library could pass.
#include "framegate/SDK_USB.h"

extern "C" {

int InitUSBCam(int /*nCamID*/, int /*width*/, int /*height*/, int /*mirror*/, int /*orientation*/) {
    return 0;
}

int RegisterUSBStreamCallBack(int /*nCamID*/, USBStreamCallBack /*callback*/) {
    return 2;
}

int UinitUSBCam(int /*nCamID*/) {
    return 0;
}
}
