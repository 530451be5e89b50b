// calorview-upgrade: sends an upgrade package (or a raw camera image) to the thermal camera over
// USB, or to the simulated camera. Progress and the outcome go to stderr (a bar on a terminal,
// plain lines otherwise); the protocol's log goes to stdout with --verbose only. Exit status 0
// only when the last status report said the upgrade succeeded.
#include <iconv.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "FailureLine.h"
#include "upgrade/LibusbTransport.h"
#include "upgrade/SimulatedCamera.h"
#include "upgrade/UsbUpgrader.h"

namespace {

constexpr int kUsage = 2;
constexpr int kFailed = 1;

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: calorview-upgrade [options] PACKAGE.bin\n"
                 "       calorview-upgrade [options] --raw IMAGE [--target 0|1|2]\n"
                 "       calorview-upgrade [--boot-loader VID:PID] --list\n"
                 "options:\n"
                 "  --boot-loader VID:PID  the USB ids (hexadecimal) of the camera's boot loader;\n"
                 "                         without it no other device is taken for the camera\n"
                 "  --simulate             use the simulated camera instead of USB\n"
                 "  --hwid ID              the simulated camera's hardware identifier (TC-480-A)\n"
                 "  --language 0|1         the simulated camera's language flag (1: Chinese)\n"
                 "  --verbose              print the protocol's log on stdout\n"
                 "  --list                 list the candidate USB devices\n");
}

// True when all of `text` is a decimal number from `low` to `high`; nothing else is taken for
// one (atoi would take "cam0" for 0 and "2junk" for 2).
bool Number(const char* text, int low, int high, int* value) {
    const char* end = text + std::strlen(text);
    int parsed = 0;
    const auto [stop, error] = std::from_chars(text, end, parsed);
    if (error != std::errc() || stop != end || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

// True when all of `text` is a 16-bit id of one to four hexadecimal digits.
bool HexId(const std::string& text, uint16_t* value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, *value, 16);
    return !text.empty() && text.size() <= 4 && error == std::errc() && stop == end;
}

// "VID:PID", as lsusb shows it.
bool UsbIdOf(const std::string& text, std::optional<LibusbTransport::UsbId>* id) {
    const size_t colon = text.find(':');
    LibusbTransport::UsbId parsed;
    if (colon == std::string::npos || !HexId(text.substr(0, colon), &parsed.vendor) ||
        !HexId(text.substr(colon + 1), &parsed.product)) {
        return false;
    }
    *id = parsed;
    return true;
}

// The status texts arrive as GBK bytes; the terminal speaks UTF-8.
std::string Utf8(const char* gbk) {
    iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return gbk;
    }
    std::string in(gbk);
    std::string out(in.size() * 2 + 4, '\0');
    char* source = in.data();
    size_t sourceLeft = in.size();
    char* target = out.data();
    size_t targetLeft = out.size();
    const size_t result = iconv(converter, &source, &sourceLeft, &target, &targetLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1)) {
        return gbk;
    }
    out.resize(out.size() - targetLeft);
    return out;
}

struct Progress {
    bool terminal = isatty(STDERR_FILENO) != 0;
    int lastPercent = -1;
    bool succeeded = false;
    bool failed = false;
};

void OnStatus(int code, const char* text, void* user) {
    auto* progress = static_cast<Progress*>(user);
    if (text != nullptr) {
        if (progress->terminal && progress->lastPercent >= 0) {
            std::fputc('\n', stderr);
        }
        std::fprintf(stderr, "%s\n", Utf8(text).c_str());
        progress->succeeded = code == 0 && std::strcmp(text, UsbUpgrader::kTextDone) == 0;
        progress->failed = code == -1;
        progress->lastPercent = -1;
        return;
    }
    if (code == progress->lastPercent) {
        return;
    }
    progress->lastPercent = code;
    if (progress->terminal) {
        const int width = 40;
        const int filled = code * width / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(width - filled), ' ').c_str(), code);
    } else {
        std::fprintf(stderr, "progress %d%%\n", code);
    }
    std::fflush(stderr);
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

int Fail(const std::string& reason) {
    std::fprintf(stderr, "calorview-upgrade: %s\n", reason.c_str());
    return kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    bool simulate = false;
    bool verbose = false;
    bool list = false;
    std::string raw;
    std::string package;
    SimulatedCamera::Options simulated;
    int target = 2;
    int language = simulated.language;
    std::optional<LibusbTransport::UsbId> bootLoader;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--simulate") {
            simulate = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "--raw" && hasValue) {
            raw = argv[++i];
        } else if (arg == "--target" && hasValue && Number(argv[i + 1], 0, 2, &target)) {
            ++i;
        } else if (arg == "--hwid" && hasValue) {
            simulated.hardwareId = argv[++i];
        } else if (arg == "--language" && hasValue && Number(argv[i + 1], 0, 1, &language)) {
            ++i;
        } else if (arg == "--boot-loader" && hasValue && UsbIdOf(argv[i + 1], &bootLoader)) {
            ++i;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && package.empty()) {
            package = arg;
        } else {
            Usage(stderr);
            return kUsage;
        }
    }
    if (list) {
        auto candidates = LibusbTransport::ListCandidates();
        if (bootLoader) {
            const auto boot =
                LibusbTransport::ListCandidates(bootLoader->vendor, bootLoader->product);
            candidates.insert(candidates.end(), boot.begin(), boot.end());
        }
        for (const std::string& line : candidates) {
            std::printf("%s\n", line.c_str());
        }
        if (candidates.empty()) {
            std::printf("no candidate devices\n");
        }
        return 0;
    }
    if (package.empty() == raw.empty()) {
        Usage(stderr);
        return kUsage;
    }
    simulated.language = static_cast<uint8_t>(language);
    // The protocol log is for whoever asks for it; otherwise it is kept aside, for the reason
    // a failure gives.
    char logPath[] = "/tmp/calorview-upgrade-XXXXXX";
    const int logFd = verbose ? -1 : mkstemp(logPath);
    if (logFd >= 0) {
        unlink(logPath);
        std::fflush(stdout);
        dup2(logFd, STDOUT_FILENO);
    }

    SimulatedCamera camera(simulated);
    LibusbTransport usb(LibusbTransport::kVendorId, LibusbTransport::kProductId, bootLoader);
    UpgradeTransport* transport = &camera;
    if (!simulate) {
        if (!usb.open()) {
            return Fail(usb.reason());
        }
        transport = &usb;
    }
    Progress progress;
    UsbUpgrader upgrader;
    upgrader.setTransport(transport);
    upgrader.setCallback(&OnStatus, &progress);
    std::error_code ignored;
    upgrader.setApplicationDir(
        std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string());
    if (!raw.empty()) {
        if (target == 2) {
            upgrader.upgradeCamera(raw.c_str());
        } else if (!upgrader.USB_CAM_Update(raw, target)) {
            OnStatus(-1, UsbUpgrader::kTextFailed, &progress);
        }
    } else {
        upgrader.Upgradingfile(package.c_str());
    }
    std::fflush(stdout);
    if (!progress.succeeded) {
        return Fail(FailureLine(progress.failed, simulate ? std::string() : usb.reason(),
                                logFd >= 0 ? ReadAll(logFd) : std::string()));
    }
    if (simulate) {
        std::fprintf(stderr, "the simulated camera took %zu image(s)\n",
                     raw.empty() ? camera.images().size() : camera.rawUpdates().size());
    }
    return 0;
}
