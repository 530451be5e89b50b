// The upgrade protocol's own cost: crc16 throughput, and a 64 MiB package folder sent to a
// camera that answers at once (no USB link: what the protocol engine itself spends).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "support/TempDir.h"
#include "upgrade/Crc16.h"
#include "upgrade/SimulatedCamera.h"
#include "upgrade/UsbUpgrader.h"

namespace {

void BM_Crc16(benchmark::State& state) {
    std::vector<unsigned char> data(1 << 20);
    std::mt19937 random(1);
    for (auto& byte : data) {
        byte = static_cast<unsigned char>(random());
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16(data.data(), data.size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Crc16);

// The engine's hex-dump log lines would swamp the benchmark's own output.
class QuietStdout {
public:
    QuietStdout() : m_saved(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved;
};

// A camera that says yes to everything at once: what remains is the engine's own work.
class AcknowledgingCamera : public UpgradeTransport {
public:
    int writeData(const unsigned char* buffer, int length, int, unsigned char) override {
        m_code = length >= 4 ? buffer[3] : 0;
        return length;
    }
    int readData(unsigned char* buffer, int, int, unsigned char) override {
        const unsigned char answer[33] = {'a', 'n', 's', m_code, 1};
        std::copy(answer, answer + sizeof answer, buffer);
        return sizeof answer;
    }
    uint16_t maxPacketSize(int) override { return 32768; }
    int isBootMode() override { return 0; }
    int loadBootProgrammer(const char*) override { return 1; }

private:
    unsigned char m_code = 0;
};

template <typename Camera>
void BM_SendPackage(benchmark::State& state) {
    CalorviewTest::TempDir dir;
    const size_t size = size_t{64} << 20;
    {
        std::vector<char> image(size);
        std::mt19937 random(2);
        for (auto& byte : image) {
            byte = static_cast<char>(random());
        }
        CalorviewTest::writeFile(dir.file("fw.img"), std::string(image.begin(), image.end()));
    }
    CalorviewTest::writeFile(dir.file("Install"), R"({"Commands": ["load fw.img"]})");
    for (auto _ : state) {
        Camera camera;
        UsbUpgrader upgrader;
        upgrader.setTransport(&camera);
        const QuietStdout quiet;
        if (!upgrader.upgradeFromFolder(dir.path().string() + "/")) {
            state.SkipWithError("the upgrade failed");
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
// The engine alone, and with the simulated camera's bookkeeping (it keeps every byte it gets).
BENCHMARK(BM_SendPackage<AcknowledgingCamera>)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SendPackage<SimulatedCamera>)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
