// The library's own work per delivered frame at 480 x 640, from the stream handing a sample to
// the camera object to the entry of the client's callback: the unlocked listener test, the
// length test, the camera lock, the listener's callback read and the indirect call.
#include <benchmark/benchmark.h>

#include <vector>

#include "CCameraDS.h"
#include "CSampleGrabberCB.h"
#include "CUSBCameraDeviceListerner.h"
#include "capture/DeviceEnumerator.h"
#include "support/ScenarioFile.h"

namespace {

int g_entered = 0;

int callback(int, int, const char*, int, int) {
    ++g_entered;
    return 0;
}

void BM_SampleToCallback(benchmark::State& state) {
    CalorviewTest::TempDir dir;
    const std::string scenario = dir.file("stalled.json");
    // A stalled camera: the stream sends nothing, so only the benchmark's samples are delivered.
    CalorviewTest::writeFile(
        scenario, CalorviewTest::scenarioJson("Bench", 480, 640, 25,
                                              R"("timeline": [{"at_ms": 0, "stall": true}])"));
    CalorviewTest::useVirtualCameras({scenario});
    const int index = static_cast<int>(Framegate::DeviceEnumerator::enumerate().size()) - 1;

    CCameraDS camera;
    if (!camera.OpenCameraAndNoDisplay(index, 480, 640)) {
        state.SkipWithError("cannot open the virtual camera");
        return;
    }
    CUSBCameraDeviceListerner listener;
    listener.SetCB(callback);
    camera.SetListener(&listener);
    CSampleGrabberCB grabber(&camera);
    std::vector<unsigned char> frame(480 * 640 * 2, 0x80);
    for (auto _ : state) {
        grabber.OnData(frame.data(), static_cast<long>(frame.size()));
    }
    camera.CloseCamera();
    benchmark::DoNotOptimize(g_entered);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SampleToCallback);

}  // namespace
