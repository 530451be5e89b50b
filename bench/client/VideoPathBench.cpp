// The live-video path at 480 x 640: the capture thread's work per frame (decode, intake,
// renderer hand-off) and the GUI thread's paint of the 1280 x 670 video area.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <vector>

#include "client/video/FrameTestSupport.h"
#include "video/D3DVideoRenderer.h"
#include "video/DeviceConnectionManager.h"
#include "video/FrameHeader.h"
#include "video/StreamCallback.h"
#include "video/UyvyConverter.h"
#include "video/VideoWindow.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 640;

std::vector<char> cameraFrame(uint32_t flags) {
    return CalorviewTest::rawFrame(kWidth, kHeight, 0x50C8D2CAu, flags);
}

void BM_DecodeFrame(benchmark::State& state) {
    const std::vector<char> frame = cameraFrame(0x60000182u);
    std::vector<unsigned char> picture(frame.size());
    FrameHeader header;
    for (auto _ : state) {
        header.Decode(frame.data(), static_cast<int>(frame.size()), kWidth, kHeight,
                      picture.data());
        benchmark::DoNotOptimize(picture.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_DecodeFrame);

// Everything the capture thread does per frame: OnStreamFrame, the video window's intake and
// the hand-off to the renderer (the queued signals are posted, not delivered).
void BM_CaptureThreadFrame(benchmark::State& state) {
    VideoWindow window;
    window.resize(1280, 670);
    window.StartVideo();  // not connected: only stores the consumer and binds the renderer
    const std::vector<char> frames[] = {cameraFrame(0), cameraFrame(0x20000000u)};
    int64_t n = 0;
    for (auto _ : state) {
        const std::vector<char>& frame = frames[n & 1];
        OnStreamFrame(kWidth, kHeight, frame.data(), static_cast<int>(frame.size()), 19);
        if (++n % 64 == 0) {
            state.PauseTiming();
            QApplication::processEvents();  // keep the posted events from piling up
            state.ResumeTiming();
        }
    }
    QApplication::processEvents();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CaptureThreadFrame)->Unit(benchmark::kMicrosecond);

// Conversion for the screen at the picture's own size (args 480 x 640) and scaled to the
// picture's place in a 1280 x 670 video area (502 x 670).
void BM_UyvyToRgb32(benchmark::State& state) {
    const std::vector<unsigned char> picture =
        CalorviewTest::flatUyvy(kWidth, kHeight, 120, 90, 160);
    const QSize size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    UyvyConverter converter;
    QImage image;
    for (auto _ : state) {
        converter.ToRgb32(picture.data(), kWidth, kHeight, size, &image);
        benchmark::DoNotOptimize(image.constBits());
    }
    state.SetItemsProcessed(state.iterations() * size.width() * size.height());
}
BENCHMARK(BM_UyvyToRgb32)->Args({kWidth, kHeight})->Args({502, 670})->Unit(benchmark::kMicrosecond);

// One paint of the video area with a new picture each time: taking the picture over,
// converting and scaling it, black bars, the picture and the overlay's clock and rectangle.
// CPU time of the whole process: Qt's drawing may hand work to its thread pool.
void BM_PaintVideoArea(benchmark::State& state) {
    VideoWindow window;
    window.resize(1280, 670);
    window.show();
    window.StartVideo();
    QImage target(1280, 670, QImage::Format_ARGB32_Premultiplied);
    std::vector<unsigned char> pictures[] = {CalorviewTest::flatUyvy(kWidth, kHeight, 80),
                                             CalorviewTest::flatUyvy(kWidth, kHeight, 160)};
    const CaptureTime time{20, 3, 4, 13, 45, 10};
    window.OnFrame(pictures[0].data(), kWidth, kHeight, 1, "20200304_134510", time);
    QApplication::processEvents();  // the overlay shows itself
    int64_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        D3DVideoRenderer::instance()->RenderFrame(pictures[++n & 1].data(), kWidth, kHeight);
        state.ResumeTiming();
        window.render(&target);
    }
    QApplication::processEvents();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PaintVideoArea)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
