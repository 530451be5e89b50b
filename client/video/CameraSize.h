// The picture size the client opens the camera with, and assumes until the first frame says
// otherwise (the overlay's rectangle, the recording encoder).
#pragma once

inline constexpr int kCameraWidth = 480;
inline constexpr int kCameraHeight = 640;
