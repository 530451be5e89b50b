// The recording path per 480 x 640 frame on the capture thread (conversion, time burn-in,
// conversion, encode, hand-off to the container), with its 50th and 99th percentiles, and the
// encode alone next to what the ffmpeg command line with libx264 and the same settings spends
// on the same pictures, measured in the same run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture/virtual/VirtualScene.h"
#include "media/ColourConversion.h"
#include "media/StreamConverter.h"
#include "media/TimeBurnIn.h"
#include "media/X264Encoder.h"
#include "support/Timing.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 640;
constexpr int kFrames = 500;  // 20 s of the virtual camera's scene
constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;

// UYVY pictures of the virtual camera's scene at 25 fps.
const std::vector<std::vector<unsigned char>>& Pictures() {
    static const auto pictures = [] {
        Framegate::VirtualScene scene(kWidth, kHeight);
        std::vector<std::vector<unsigned char>> all(kFrames);
        std::vector<uint8_t> yuy2(scene.frameBytes());
        for (int i = 0; i < kFrames; ++i) {
            scene.render(std::chrono::milliseconds(i * 40), yuy2.data());
            all[i].resize(yuy2.size());
            for (size_t k = 0; k + 3 < yuy2.size(); k += 4) {  // Y0 U Y1 V -> U Y0 V Y1
                all[i][k] = yuy2[k + 1];
                all[i][k + 1] = yuy2[k];
                all[i][k + 2] = yuy2[k + 3];
                all[i][k + 3] = yuy2[k + 2];
            }
        }
        return all;
    }();
    return pictures;
}

// The I420 pictures the encoder gets (time burnt in), for the encode-only figures.
const std::vector<std::vector<unsigned char>>& I420Pictures() {
    static const auto pictures = [] {
        std::vector<std::vector<unsigned char>> all;
        std::vector<unsigned char> rgb(kPixels * 3);
        for (const auto& uyvy : Pictures()) {
            UyvyToRgb24(uyvy.data(), rgb.data(), kWidth, kHeight);
            DrawTimeOnFrame(rgb.data(), kWidth, kHeight, 12 * 3600 + 34 * 60 + 56);
            all.emplace_back(kPixels * 3 / 2);
            Rgb24ToI420(all.back().data(), rgb.data(), kWidth, kHeight);
        }
        return all;
    }();
    return pictures;
}

using CalorviewBench::ReportPercentiles;
using CalorviewBench::ThreadCpuMs;

// Everything WriteRecordFrame does per frame, writing a real MP4 in the temp folder.
void BM_RecordingPathPerFrame(benchmark::State& state) {
    const std::string path =
        (std::filesystem::temp_directory_path() / "calorview-bench-recording.mp4").string();
    std::vector<unsigned char> rgb(kPixels * 3), i420(kPixels * 3 / 2), out(kPixels * 2), scratch;
    // Pictures made and fonts loaded before the clock runs.
    UyvyToRgb24(Pictures()[0].data(), rgb.data(), kWidth, kHeight);
    DrawTimeOnFrame(rgb.data(), kWidth, kHeight, 0);
    std::vector<double> ms;
    for (auto _ : state) {
        std::filesystem::remove(path);
        const EncParams params = MakeEncParams(kWidth, kHeight);
        void* encoder = X264_Enc_Open(&params);
        void* file = nullptr;
        SC_OpenFile(kScFormatMp4, path.c_str(), static_cast<int>(path.size()), &file);
        for (int i = 0; i < kFrames; ++i) {
            const auto start = std::chrono::steady_clock::now();
            MakeRecordedPicture(i420.data(), Pictures()[i].data(), kWidth, kHeight,
                                12 * 3600 + 34 * 60 + i / 25, &scratch);
            const EncPicture picture{
                i420.data(), i420.data() + kPixels, i420.data() + kPixels * 5 / 4, {}};
            EncOutput output{0, out.data(), static_cast<int32_t>(out.size())};
            const int n = X264_Enc_Start(encoder, &picture, &output);
            SC_InputDataAt(file, out.data(), n, i * 40000);
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        X264_Enc_Close(encoder);
        SC_FinishFile(file);
        SC_CloseFile(file);
        SC_WaitFinished();
        state.counters["MiB_per_minute"] =
            std::filesystem::file_size(path) / 1048576.0 * (60.0 * 25 / kFrames);
    }
    std::filesystem::remove(path);
    ReportPercentiles(state, ms);
}
BENCHMARK(BM_RecordingPathPerFrame)->Iterations(2)->Unit(benchmark::kMillisecond);

// The encoder's picture of one camera frame (grey), time burnt in: range(0) 0 through RGB
// (UyvyToRgb24, DrawTimeOnFrame, Rgb24ToI420), 1 as MakeRecordedPicture makes it.
void BM_RecordedPicture(benchmark::State& state) {
    std::vector<unsigned char> rgb(kPixels * 3), i420(kPixels * 3 / 2), scratch;
    const auto& uyvy = Pictures()[0];
    for (auto _ : state) {
        if (state.range(0) == 0) {
            UyvyToRgb24(uyvy.data(), rgb.data(), kWidth, kHeight);
            DrawTimeOnFrame(rgb.data(), kWidth, kHeight, 45296);
            Rgb24ToI420(i420.data(), rgb.data(), kWidth, kHeight);
        } else {
            MakeRecordedPicture(i420.data(), uyvy.data(), kWidth, kHeight, 45296, &scratch);
        }
        benchmark::DoNotOptimize(i420.data());
    }
}
BENCHMARK(BM_RecordedPicture)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_TimeBurnIn(benchmark::State& state) {
    std::vector<unsigned char> rgb(kPixels * 3);
    UyvyToRgb24(Pictures()[0].data(), rgb.data(), kWidth, kHeight);
    for (auto _ : state) {
        DrawTimeOnFrame(rgb.data(), kWidth, kHeight, 45296);
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(BM_TimeBurnIn)->Unit(benchmark::kMicrosecond);

// CPU milliseconds per frame of `ffmpeg ... -c:v libx264` with our settings, one thread, on
// the same I420 pictures (its reading of the raw file is included, and is small).
double FfmpegCpuMsPerFrame(const std::string& raw) {
    const char* args[] = {"ffmpeg",
                          "-v",
                          "error",
                          "-nostdin",
                          "-f",
                          "rawvideo",
                          "-pix_fmt",
                          "yuv420p",
                          "-s",
                          "480x640",
                          "-r",
                          "25",
                          "-i",
                          raw.c_str(),
                          "-c:v",
                          "libx264",
                          "-preset",
                          "ultrafast",
                          "-tune",
                          "zerolatency",
                          "-x264-params",
                          "cabac=1:deblock=1,0,0",
                          "-crf",
                          "23",
                          "-g",
                          "25",
                          "-keyint_min",
                          "25",
                          "-bf",
                          "0",
                          "-threads",
                          "1",
                          "-profile:v",
                          "high",
                          "-f",
                          "null",
                          "-",
                          nullptr};
    // posix_spawn, not fork: a forked copy of this process's large picture set would cost the
    // child time that is not ffmpeg's.
    pid_t child = 0;
    if (posix_spawnp(&child, "ffmpeg", nullptr, nullptr, const_cast<char* const*>(args), environ) !=
        0) {
        return -1;
    }
    const double ms = CalorviewBench::ChildCpuMs(child);
    return ms < 0 ? -1 : ms / kFrames;
}

void BM_EncodeAloneVersusFfmpeg(benchmark::State& state) {
    const std::string raw =
        (std::filesystem::temp_directory_path() / "calorview-bench-frames.yuv").string();
    {
        std::ofstream file(raw, std::ios::binary | std::ios::trunc);
        for (const auto& picture : I420Pictures()) {
            file.write(reinterpret_cast<const char*>(picture.data()),
                       static_cast<std::streamsize>(picture.size()));
        }
    }
    std::vector<unsigned char> out(kPixels * 2);
    double ours = 0;
    double ffmpeg = 0;
    for (auto _ : state) {
        const EncParams params = MakeEncParams(kWidth, kHeight);
        void* encoder = X264_Enc_Open(&params);
        const double start = ThreadCpuMs();
        for (auto& picture : I420Pictures()) {
            unsigned char* y = const_cast<unsigned char*>(picture.data());
            const EncPicture in{y, y + kPixels, y + kPixels * 5 / 4, {}};
            EncOutput output{0, out.data(), static_cast<int32_t>(out.size())};
            benchmark::DoNotOptimize(X264_Enc_Start(encoder, &in, &output));
        }
        ours += (ThreadCpuMs() - start) / kFrames;
        X264_Enc_Close(encoder);
        ffmpeg += FfmpegCpuMsPerFrame(raw);
    }
    std::filesystem::remove(raw);
    state.counters["ours_cpu_ms"] = ours / state.iterations();
    state.counters["ffmpeg_cpu_ms"] = ffmpeg / state.iterations();
    state.counters["ratio"] = ours / ffmpeg;
}
BENCHMARK(BM_EncodeAloneVersusFfmpeg)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // fonts for the time burn-in
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
