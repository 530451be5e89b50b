#include "FailureLine.h"

#include <cctype>

namespace {

bool StartsWith(const std::string& line, const char* prefix) {
    return line.rfind(prefix, 0) == 0;
}

// Lines that name no cause: hex dumps of the exchanges, retries, and the steps that only pass an
// unpacking failure on (the unpacker's own line comes before them).
bool SaysNothing(const std::string& line) {
    const bool dump = (StartsWith(line, "writeData: ") || StartsWith(line, "readData: ")) &&
                      (line.find(", USBUPGRADE_") != std::string::npos ||
                       line.find(", funCode: ") != std::string::npos);
    return line.empty() || dump || line.find("Retry : ") != std::string::npos ||
           StartsWith(line, "Unpacket_Updatefile Zip_UnPackFiles ") ||
           StartsWith(line, "Upgradingfile Zip_UnPackFiles fail");
}

// "%s -->%d" lines whose text ends in a newline leave " -->N" at the start of the next one.
std::string WithoutLeftover(std::string line) {
    if (StartsWith(line, " -->")) {
        size_t end = 4;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) {
            ++end;
        }
        line.erase(0, end);
    }
    return line;
}

std::string LastTellingLine(const std::string& log) {
    std::string last;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        const std::string line = WithoutLeftover(log.substr(start, end - start));
        if (!SaysNothing(line)) {
            last = line;
        }
        start = end + 1;
    }
    return last;
}

}  // namespace

std::string FailureLine(bool failed, const std::string& transportReason,
                        const std::string& protocolLog) {
    const std::string what = failed ? "the upgrade failed" : "the upgrade did not complete";
    const std::string why =
        transportReason.empty() ? LastTellingLine(protocolLog) : transportReason;
    return why.empty() ? what + " (--verbose shows the protocol log)" : what + ": " + why;
}
