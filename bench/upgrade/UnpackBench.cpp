// Unpacking a 64 MiB upgrade package (four deflated image-like files), with the unzip command
// on the same file measured in the same run as the yardstick: wall time and CPU time of both,
// and ours over unzip's. Without unzip on the PATH only ours is reported.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <minizip/zip.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/Timing.h"
#include "upgrade/PackageUnpacker.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 4;
constexpr size_t kFileBytes = size_t{16} << 20;
constexpr double kPackageMiB = kFiles * kFileBytes / double(1 << 20);

// 16-bit frames of a warm scene: a smooth gradient plus sensor noise in the low bits, which
// deflates to about half, as real radiometric images do.
std::string ImageLike(unsigned seed) {
    constexpr size_t kWidth = 640;
    std::mt19937 random(seed);
    std::string data(kFileBytes, '\0');
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const size_t pixel = i / 2;
        const unsigned x = pixel % kWidth;
        const unsigned y = (pixel / kWidth) % 512;
        const unsigned value = 3000 + x * 4 + y * 2 + (random() & 0x3f);
        data[i] = static_cast<char>(value & 0xff);
        data[i + 1] = static_cast<char>(value >> 8);
    }
    return data;
}

// The folder the package and both unpacks live in, removed at exit.
const CalorviewTest::TempDir& BenchDir() {
    static const CalorviewTest::TempDir dir;
    return dir;
}

// Builds the package once; its path.
const std::string& ThePackage() {
    static const std::string path = [] {
        const std::string zipPath = BenchDir().file("package.zip");
        zipFile zip = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
        for (int i = 0; i < kFiles; ++i) {
            const std::string data = ImageLike(static_cast<unsigned>(i + 1));
            const std::string name = "images/frame" + std::to_string(i) + ".raw";
            zip_fileinfo info{};
            zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0);
            zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size()));
            zipCloseFileInZip(zip);
        }
        zipClose(zip, nullptr);
        return zipPath;
    }();
    return path;
}

// The unzip program on the PATH, or "" when there is none.
std::string FindUnzip() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/unzip";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

// Runs `unzip -o -q zip -d dir`; its CPU time (user + system) in ms, or -1 on failure.
// posix_spawn, not fork: copying this process's 64 MiB heap would cost time that is not unzip's.
double RunUnzip(const std::string& unzip, const std::string& zip, const std::string& dir) {
    const char* args[] = {unzip.c_str(), "-o", "-q", zip.c_str(), "-d", dir.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int rc = posix_spawn(&child, unzip.c_str(), &actions, nullptr,
                               const_cast<char* const*>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    return CalorviewBench::ChildCpuMs(child);
}

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void BM_UnpackPackage(benchmark::State& state) {
    const std::string& zip = ThePackage();
    const std::string unzip = FindUnzip();
    const std::string ours = BenchDir().file("ours/");
    const std::string theirs = BenchDir().file("unzip/");
    double oursWallMs = 0;
    double oursCpuMs = 0;
    double unzipWallMs = 0;
    double unzipCpuMs = 0;
    for (auto _ : state) {
        fs::remove_all(ours);
        fs::remove_all(theirs);
        std::string error;
        const double cpuStart = CalorviewBench::ThreadCpuMs();
        const auto start = std::chrono::steady_clock::now();
        const int ok = PackageUnpacker::Unpack(zip, ours, &error);
        const double wall = MsSince(start);
        oursCpuMs += CalorviewBench::ThreadCpuMs() - cpuStart;
        oursWallMs += wall;
        state.SetIterationTime(wall / 1e3);
        if (!ok) {
            state.SkipWithError(error.c_str());
            return;
        }
        if (!unzip.empty()) {
            const auto unzipStart = std::chrono::steady_clock::now();
            const double cpu = RunUnzip(unzip, zip, theirs);
            unzipWallMs += MsSince(unzipStart);
            unzipCpuMs += cpu;
            if (cpu < 0) {
                state.SkipWithError("unzip failed");
                return;
            }
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFiles * kFileBytes));
    state.counters["ours_MBps"] = kPackageMiB * 1e3 / (oursWallMs / n);
    state.counters["ours_cpu_ms"] = oursCpuMs / n;
    if (!unzip.empty()) {
        state.counters["unzip_MBps"] = kPackageMiB * 1e3 / (unzipWallMs / n);
        state.counters["unzip_cpu_ms"] = unzipCpuMs / n;
        state.counters["wall_ratio"] = oursWallMs / unzipWallMs;
        state.counters["cpu_ratio"] = oursCpuMs / unzipCpuMs;
    }
}
BENCHMARK(BM_UnpackPackage)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
