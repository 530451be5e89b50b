// pvf-sample OUT.pvf FRAMES: writes a new PVF recording of FRAMES real H.264 frames (see
// support/SampleRecording.h), the input the pvf-tool tests convert as a user would. Exit status
// 0 when written, 1 when not.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/SampleRecording.h"

int main(int argc, char** argv) {
    const int frames = argc == 3 ? std::atoi(argv[2]) : 0;
    if (frames <= 0) {
        std::fprintf(stderr, "usage: pvf-sample OUT.pvf FRAMES\n");
        return 2;
    }
    const std::string error =
        CalorviewTest::writeSampleRecording(argv[1], CalorviewTest::RecordingFormat::kPvf, frames);
    if (!error.empty()) {
        std::fprintf(stderr, "pvf-sample: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    return 0;
}
