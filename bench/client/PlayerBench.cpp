// The History page's player at the recorder's size (480 x 640, 25 a second): decoding a
// recording on one thread (frames a second, the headroom over real time beside the live
// camera), the seek the player does for a step back (the worst: the last frame of a second,
// 24 frames after its key frame), and opening, which reads the whole file to index it. The
// recordings are made as the recorder makes them: a moving warm spot over a gradient with sensor
// noise, the time burnt in (MakeRecordedPicture), x264 through the MP4 and PVF writers.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <random>
#include <string>
#include <vector>

#include "history/RecordingDecoder.h"
#include "media/AnnexB.h"
#include "media/Mp4Writer.h"
#include "media/PosixFileSink.h"
#include "media/PvfWriter.h"
#include "media/TimeBurnIn.h"
#include "media/X264Encoder.h"
#include "support/TempDir.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 640;
constexpr int kFrames = 250;  // 10 s

std::string g_pvf;
std::string g_mp4;

// The camera's grey UYVY picture of frame `n`.
void Scene(int n, std::mt19937* noise, std::vector<unsigned char>* uyvy) {
    std::uniform_int_distribution<int> grain(-3, 3);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int dx = x - (n * 5) % kWidth;
            const int dy = y - kHeight / 2;
            const int level = (dx * dx + dy * dy < 2500 ? 220 : 50 + y / 6) + grain(*noise);
            unsigned char* group = uyvy->data() + (y * kWidth + (x & ~1)) * 2;
            group[0] = group[2] = 128;
            group[(x & 1) != 0 ? 3 : 1] = static_cast<unsigned char>(std::clamp(level, 16, 235));
        }
    }
}

void Record(const std::string& pvf, const std::string& mp4) {
    X264Encoder::Settings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    auto encoder = X264Encoder::Open(settings);
    int error = 0;
    Media::PvfWriter pvfWriter(Media::PosixFileSink::Open(pvf, &error), 1765000000);
    Media::Mp4Writer mp4Writer(Media::PosixFileSink::Open(mp4, &error), 1765000000);
    std::mt19937 noise(7);
    std::vector<unsigned char> uyvy(kWidth * kHeight * 2);
    std::vector<unsigned char> i420(kWidth * kHeight * 3 / 2);
    std::vector<unsigned char> scratch;
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    for (int i = 0; i < kFrames; ++i) {
        Scene(i, &noise, &uyvy);
        MakeRecordedPicture(i420.data(), uyvy.data(), kWidth, kHeight, 36000 + i / 25, &scratch);
        unsigned char* y = i420.data();
        const EncPicture picture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
        const int n = encoder->Encode(picture, out.data(), static_cast<int>(out.size()), i * 40);
        const Media::EncodedFrame frame{out.data(), static_cast<size_t>(n), i * 40000LL,
                                        Media::IsKeyFrame(out.data(), static_cast<size_t>(n))};
        pvfWriter.WriteFrame(frame);
        mp4Writer.WriteFrame(frame);
    }
    pvfWriter.Finish();
    mp4Writer.Finish();
}

const std::string& Path(int container) {
    return container == 0 ? g_pvf : g_mp4;
}

void BM_DecodeEveryFrame(benchmark::State& state) {
    std::string error;
    const auto decoder = RecordingDecoder::Open(Path(static_cast<int>(state.range(0))), &error);
    QImage image;
    int64_t us = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        decoder->Seek(0);
        while (decoder->Next(&image, &us)) {
            ++frames;
        }
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeEveryFrame)->ArgName("mp4")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_StepBackToTheEndOfASecond(benchmark::State& state) {
    std::string error;
    const auto decoder = RecordingDecoder::Open(Path(static_cast<int>(state.range(0))), &error);
    QImage image;
    int64_t us = 0;
    for (auto _ : state) {
        decoder->Seek(4960000);  // frame 124: 24 after the key frame at 4 s
        decoder->Next(&image, &us);
    }
}
BENCHMARK(BM_StepBackToTheEndOfASecond)
    ->ArgName("mp4")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

void BM_OpenTenSeconds(benchmark::State& state) {
    std::string error;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            RecordingDecoder::Open(Path(static_cast<int>(state.range(0))), &error));
    }
}
BENCHMARK(BM_OpenTenSeconds)->ArgName("mp4")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // the time burn-in's font
    const CalorviewTest::TempDir dir;
    g_pvf = dir.file("bench.pvf");
    g_mp4 = dir.file("bench.mp4");
    Record(g_pvf, g_mp4);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
