// The real program (CalorviewMain) with random user actions armed as soon as its QApplication
// exists (RandomActions), ended by SIGTERM after the given time. Options --seed N and --seconds S
// (defaults 1 and 60). Run it from a copy of the application folder with the driver beside the
// program, as the program itself runs: settings in kvs.ini beside it, files in the folders the
// settings name, the camera from FRAMEGATE_VIRTUAL_CAMERA (one scenario file, which the driver
// deletes and writes again to unplug and plug the camera). Its last line says how long the
// program took to end after the signal.
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RandomActions.h"
#include "app/CalorviewMain.h"

namespace {

unsigned g_seed = 1;
int g_seconds = 60;

void armActions() {
    new RandomActions(g_seed, std::chrono::seconds(g_seconds),
                      qEnvironmentVariable("FRAMEGATE_VIRTUAL_CAMERA"), qApp);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(armActions)

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seed") == 0) {
            g_seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            g_seconds = std::atoi(argv[i + 1]);
        }
    }
    int programArgc = 1;  // the options are the driver's, not the program's
    const int result = CalorviewMain(programArgc, argv);
    const auto ended = std::chrono::steady_clock::now() - RandomActions::TerminationTime();
    std::printf("driver: CalorviewMain returned %d, %lld ms after SIGTERM\n", result,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(ended).count()));
    return result;
}
