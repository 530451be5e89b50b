// emulated-camera: runs a program with the thermal camera that umockdev emulates, for trying the
// program by hand as the tests do. Run it under umockdev-wrapper:
//
//   umockdev-wrapper emulated-camera [--scenario FILE] [--unplugged] [--lose-every N] -- PROGRAM
//   [ARGS...]
//
// Lines on standard input plug ("plug") and unplug ("unplug") the camera, or stop its stream
// ("pause") and let it go on ("resume"), while PROGRAM runs; it
// ends when PROGRAM ends, with PROGRAM's status.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "support/EmulatedV4l2Camera.h"

int main(int argc, char** argv) {
    EmulatedV4l2Camera::Setup setup;
    int first = 1;
    int nodeMode = -1;
    for (; first < argc && std::strcmp(argv[first], "--") != 0; ++first) {
        const std::string arg = argv[first];
        if (arg == "--scenario" && first + 1 < argc) {
            setup.scenario = argv[++first];
        } else if (arg == "--unplugged") {
            setup.plugged = false;
        } else if (arg == "--lose-every" && first + 1 < argc) {
            const auto every = static_cast<uint64_t>(std::stoul(argv[++first]));
            setup.fault = [every](uint64_t frame) {
                return frame > 0 && frame % every == 0 ? EmulatedV4l2Camera::FrameFault::kLost
                                                       : EmulatedV4l2Camera::FrameFault::kNone;
            };
        } else if (arg == "--node-mode" && first + 1 < argc) {
            nodeMode = static_cast<int>(std::stoul(argv[++first], nullptr, 8));
        } else {
            std::fprintf(stderr, "emulated-camera: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (first + 1 >= argc) {
        std::fprintf(stderr,
                     "usage: emulated-camera [--scenario FILE] [--unplugged] "
                     "[--lose-every N] -- PROGRAM [ARGS...]\n");
        return 2;
    }
    if (const std::string reason = EmulatedV4l2Camera::Unavailable(); !reason.empty()) {
        std::fprintf(stderr, "emulated-camera: %s\n", reason.c_str());
        return 2;
    }
    EmulatedV4l2Camera camera(setup);
    if (nodeMode >= 0 && !camera.setNodeMode(static_cast<unsigned>(nodeMode))) {
        std::perror("emulated-camera: chmod");
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[first + 1], argv + first + 1);
        std::perror("emulated-camera: exec");
        _exit(127);
    }
    std::thread commands([&camera] {
        for (std::string line; std::getline(std::cin, line);) {
            if (line == "plug") {
                camera.plug();
            } else if (line == "unplug") {
                camera.unplug();
            } else if (line == "pause" || line == "resume") {
                camera.pause(line == "pause");
            }
        }
    });
    commands.detach();
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
