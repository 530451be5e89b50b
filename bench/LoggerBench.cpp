// Log lines per second into a file at level 6, the level the camera library runs at.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "infra/Logger.h"

using namespace Velmora::Infra;

namespace {

void setFilter(const char* option, const char* value) {
    const char* args[] = {option, value};
    logFilter(2, args);
}

void BM_LogLineToFile(benchmark::State& state) {
    char folder[] = "/tmp/calorview-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(folder) + "/bench.log";
    setFilter("-loglevel", "6");
    setFilter("-logsize", "51200");  // 50 MiB, so the file rarely restarts
    setFilter("-logpath", path.c_str());
    // Keep the terminal out of the measurement: standard output goes nowhere.
    const int savedStdout = dup(STDOUT_FILENO);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        state.SkipWithError("cannot silence stdout");
        return;
    }
    int frame = 0;
    for (auto _ : state) {
        INFRA_DEBUG("OnData frame %d width %d height %d\n", ++frame, 480, 640);
    }
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    setFilter("-logpath", "");
    std::remove(path.c_str());
    rmdir(folder);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineToFile);

void BM_LogLineFilteredOut(benchmark::State& state) {
    setFilter("-loglevel", "3");
    for (auto _ : state) {
        benchmark::DoNotOptimize(INFRA_DEBUG("dropped %d\n", 1));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineFilteredOut);

}  // namespace
