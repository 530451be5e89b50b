// The client's frame callback, registered with Framegate: decodes each frame and hands it to the
// consumers the device connection manager holds. Runs on the capture thread, takes no lock.
#pragma once

#include <cstdint>

// Of the library's USBStreamCallBack type; the fifth argument (format code) is ignored.
// Returns -1 when the frame is dropped (length 0 or less, or not a well-formed frame of
// width x height), 0 otherwise.
int OnStreamFrame(int width, int height, const char* data, int length, int format);

// Frames OnStreamFrame dropped since the process started. Any thread.
uint64_t DroppedStreamFrames();
