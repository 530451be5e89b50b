// Framegate's plain-function API: find the thermal camera, open it, receive every frame
// through one callback, close it.
//
// Call the five functions from one thread at a time (the client calls them from its GUI thread).
// Frames arrive on the library's streaming thread of the open camera. The calls for one camera
// wait only for that camera (an open for its stream to start, a close for a delivery to end), so
// a callback may call them for another camera, never for its own.
#pragma once

#include "framegate/FramegateApi.h"

extern "C" {

// Called for every frame, on the camera's streaming thread, with the camera lock held: it must
// return quickly and must not call back into this API for the same camera. `data` belongs to
// the library and is valid only during the call; `length` is always width * height * 2 and
// `format` always 19. Width and height are swapped when the camera was opened with
// orientation 1 or 2. The return value is ignored.
typedef int (*USBStreamCallBack)(int width, int height, const char* data, int length, int format);

// Opens camera `nCamID` (its position in the video input enumeration) asking for YUYV
// `width` x `height` at 25 fps. Returns 0 once the camera streams, or -1 when it is open
// already, cannot be opened or refuses to stream (the log names the reason: busy, no USB
// bandwidth, no permission). An index from GetUsbDeviceNum opens only the device listed there.
// A stream start that does not answer within 5 s fails the call too; that device then cannot be
// opened until its driver returns from the start.
FRAMEGATE_API int InitUSBCam(int nCamID, int width, int height, int mirror, int orientation);

// Sets the frame callback of an open camera, replacing any earlier one: once this returns, the
// earlier callback is never entered again. A null callback drops every frame.
// Returns 2, or -1 when the camera is not open.
FRAMEGATE_API int RegisterUSBStreamCallBack(int nCamID, USBStreamCallBack callback);

// Closes an open camera. When it returns, no callback runs and none will start.
// Returns 0, or -1 when the camera is not open.
FRAMEGATE_API int UinitUSBCam(int nCamID);

// Looks for the thermal camera (USB ids 1d6b:0102). Pass *index = 0. On true, *index is its
// position and `name` (at least 32 bytes) its name; on false, *index is the number of devices.
FRAMEGATE_API bool GetUsbDeviceNum(int* index, char* name);

// Writes `text` unchanged (it is not a format) as one trace line into the library log.
FRAMEGATE_API bool SetLogTrace(const char* text);
}
