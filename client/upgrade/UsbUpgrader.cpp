#include "upgrade/UsbUpgrader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "upgrade/Crc16.h"
#include "upgrade/PackageUnpacker.h"

const char* const UsbUpgrader::kTextBusy = "\xC9\xFD\xBC\xB6\xD6\xD0";
const char* const UsbUpgrader::kTextDone = "\xC9\xFD\xBC\xB6\xCD\xEA\xB3\xC9";
const char* const UsbUpgrader::kTextFailed = "\xC9\xFD\xBC\xB6\xCA\xA7\xB0\xDC";

namespace {

constexpr int kImageHeaderBytes = 64;
constexpr int kChunkBytes = 16384;
constexpr int kRawChunkBytes = 32000;
constexpr int kTries = 5;
constexpr int kReadFloorMs = 2000;
constexpr size_t kMaxPathLength = 511;
constexpr int kBootPollMs = 100;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// fopen(path, "rb") that never follows a symbolic link: a link in the package folder must not
// send (or parse) a file from elsewhere.
File OpenForReading(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
    }
    return File(file);
}

void PutLe32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

uint32_t GetLe32(const unsigned char* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

int64_t FileSize(FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file);
    std::rewind(file);
    return size;
}

// The strings of a string-or-array member; false when it holds anything else.
bool StringsOf(const Json::Value& value, std::vector<std::string>* out) {
    if (value.isString()) {
        out->push_back(value.asString());
        return true;
    }
    if (!value.isArray()) {
        return false;
    }
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        if (!value[i].isString()) {
            return false;
        }
        out->push_back(value[i].asString());
    }
    return true;
}

}  // namespace

void UsbUpgrader::setCallback(StatusCallback callback, void* user) {
    m_callback = callback;
    m_user = user;
}

void UsbUpgrader::Report(int code, const char* text) {
    if (m_callback != nullptr) {
        m_callback(code, text, m_user);
    }
}

int UsbUpgrader::writeData(const unsigned char* buffer, int length, int timeout,
                           unsigned char channel) {
    return m_transport == nullptr ? -1 : m_transport->writeData(buffer, length, timeout, channel);
}

int UsbUpgrader::readData(unsigned char* buffer, int timeout, unsigned char channel) {
    if (m_transport == nullptr) {
        return -1;
    }
    const int length = std::min<int>(m_transport->maxPacketSize(2), kBufferSize);
    return m_transport->readData(buffer, length, std::max(timeout, kReadFloorMs), channel);
}

int UsbUpgrader::Upgradingfile(const char* packagePath) {
    if (m_transport == nullptr || packagePath == nullptr) {
        Report(-1, kTextFailed);
        return 0;
    }
    // A fresh folder of its own beside the package: the package can replace no file lying there
    // (nor itself), and only what came out of it can be checked and sent.
    std::string folder = std::string(packagePath) + ".XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        std::printf("Upgradingfile: cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
        Report(-1, kTextFailed);
        return 0;
    }
    folder += '/';
    std::printf("Upgradingfile: unpacking into %s\n", folder.c_str());
    if (!Unpacket_Updatefile(packagePath, folder.c_str())) {
        // Gone only when nothing came out of the package; what did come out stays to be looked at.
        rmdir(folder.c_str());
        Report(-1, kTextFailed);
        std::printf("Upgradingfile Zip_UnPackFiles fail please check\n");
        return 0;
    }
    if (!upgradeFromFolder(folder)) {
        Report(-1, kTextFailed);
    }
    return 1;
}

int UsbUpgrader::Unpacket_Updatefile(const char* packagePath, const char* folder) {
    if (packagePath == nullptr || folder == nullptr) {
        return 0;
    }
    const std::string path(packagePath);
    if (path.find(".bin") == std::string::npos) {
        std::printf("Unpacket_Updatefile: ptzname: %s\n", packagePath);
        return 0;
    }
    // Read in place: a copy to a ".zip" name could replace a file of the user's.
    const int result = Zip_UnPackFiles(packagePath, folder);
    if (result != 1) {
        std::printf("Unpacket_Updatefile Zip_UnPackFiles %08x:  ptzpath: %s\n", result, folder);
        return 0;
    }
    return 1;
}

int UsbUpgrader::Zip_UnPackFiles(const char* zipPath, const char* folder) {
    if (zipPath == nullptr || folder == nullptr) {
        return 0;
    }
    std::string error;
    const int result = PackageUnpacker::Unpack(zipPath, folder, &error);
    if (result != 1) {
        std::printf("Zip_UnPackFiles: %s\n", error.c_str());
    }
    return result;
}

std::string UsbUpgrader::fileNameOf(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? std::string() : path.substr(separator + 1);
}

Json::Value UsbUpgrader::loadJsonFile(const std::string& path) {
    const File file = OpenForReading(path);
    if (!file) {
        std::printf("loadJsonFile: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return Json::Value();
    }
    const int64_t length = FileSize(file.get());
    std::string text(static_cast<size_t>(std::max<int64_t>(length, 0)), '\0');
    if (length < 0 || std::fread(text.data(), 1, text.size(), file.get()) != text.size()) {
        std::printf("loadJsonFile: cannot read %s\n", path.c_str());
        return Json::Value();
    }
    if (fileNameOf(path) == "check.img") {
        if (text.size() < kImageHeaderBytes) {
            std::printf("loadJsonFile: %s is shorter than its 64-byte header\n", path.c_str());
            return Json::Value();
        }
        text.erase(0, kImageHeaderBytes);
    }
    text.resize(std::strlen(text.c_str()));  // the text ends at the first 0 byte
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const Json::Exception& error) {
        // JsonCpp throws instead of reporting for some input (nesting beyond its stack limit):
        // a package's file must never end the process.
        errors = error.what();
    }
    if (!parsed) {
        std::replace(errors.begin(), errors.end(), '\n', ' ');  // one log line
        std::printf("loadJsonFile: %s is not valid JSON: %s\n", path.c_str(), errors.c_str());
        return Json::Value();
    }
    return root;
}

bool UsbUpgrader::listFiles(const std::string& folder, std::vector<std::string>* files) {
    files->clear();
    const std::string dir = folder.empty() ? "./" : folder;
    std::unique_ptr<DIR, int (*)(DIR*)> stream(opendir(dir.c_str()), &closedir);
    if (!stream) {
        std::printf("listFiles: cannot read %s\n", dir.c_str());
        return false;
    }
    while (const dirent* entry = readdir(stream.get())) {
        const std::string name = entry->d_name;
        // A package named without a folder lies in the working one: "./" keeps fileNameOf
        // able to find the name in the full path.
        const std::string full = dir + name;
        struct stat info {};
        // Files and links (which opening then refuses); no folders, pipes or devices.
        if (name == "." || name == ".." || lstat((dir + name).c_str(), &info) != 0 ||
            !(S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) {
            continue;
        }
        if (full.size() > kMaxPathLength) {
            std::printf("listFiles: path longer than %zu characters: %s\n", kMaxPathLength,
                        full.c_str());
            return false;
        }
        files->push_back(full);
    }
    return true;
}

bool UsbUpgrader::imageNameOf(const std::string& command, std::string* name) {
    const size_t dot = command.rfind('.');
    // The name starts after the five-character prefix and takes a three-character extension.
    if (command.size() < 5 || dot == std::string::npos || dot < 5) {
        std::printf("Install error: entry \"%s\" names no image\n", command.c_str());
        return false;
    }
    *name = command.substr(5, std::min(dot - 1, command.size() - 5));
    return true;
}

bool UsbUpgrader::CheckHardware(const Json::Value& hwid) {
    USBUPGRADE_cmd header;
    header.code = 0;
    unsigned char answerHeader[kHeaderSize];
    unsigned char answer[kAnswerPayloadSize + 1] = {};
    int n = 0;
    if (!sendUpgradeCommand(header, nullptr, answerHeader, answer, 10000, &n)) {
        std::printf("hwid error: %s", "GET hwid FAIL\n");
        return false;
    }
    std::vector<std::string> ids;
    if (!StringsOf(hwid, &ids)) {
        std::printf("hwid error: %s", "hwid is neither a string nor strings\n");
        return false;
    }
    const std::string camera(reinterpret_cast<const char*>(answer), static_cast<size_t>(n));
    // A package may serve several models: any one identifier matching is enough.
    for (const std::string& id : ids) {
        if (std::strncmp(id.c_str(), camera.c_str(), static_cast<size_t>(n)) == 0) {
            return true;
        }
    }
    std::printf("hwid error: %s", "hwid != \n");
    std::string listed;
    for (const std::string& id : ids) {
        listed += (listed.empty() ? "" : ", ") + id;
    }
    std::printf("hwid: camera \"%s\", package \"%s\"\n", camera.c_str(), listed.c_str());
    return false;
}

bool UsbUpgrader::CheckLanguage(const Json::Value& languages) {
    USBUPGRADE_cmd header;
    header.code = 1;
    unsigned char answerHeader[kHeaderSize];
    unsigned char answer[kAnswerPayloadSize] = {};
    int n = 0;
    if (!sendUpgradeCommand(header, nullptr, answerHeader, answer, 10000, &n)) {
        std::printf("SupportLanguages error: %s", "GET SupportLanguages NOT ERROR\n");
        return false;
    }
    std::vector<std::string> names;
    if (!StringsOf(languages, &names)) {
        std::printf("SupportLanguages error: %s",
                    "SupportLanguages is neither a string nor strings\n");
        return false;
    }
    // The whole entry: "S" alone is no Chinese.
    const uint8_t chinese =
        std::find(names.begin(), names.end(), "SimpChinese") != names.end() ? 1 : 0;
    if (answer[0] != chinese) {
        std::printf("SupportLanguages error: %s", "SupportLanguages NOT Support\n");
        return false;
    }
    return true;
}

bool UsbUpgrader::upgradeFromFolder(const std::string& folder) {
    Report(0, kTextBusy);
    std::vector<std::string> files;
    if (!listFiles(folder, &files)) {
        return false;
    }
    m_vecBootFileList.clear();
    for (const std::string& file : files) {
        const std::string name = fileNameOf(file);
        if (name == "check.img") {
            struct stat info {};
            if (lstat(file.c_str(), &info) != 0 || info.st_size < kImageHeaderBytes) {
                std::printf("check.img error: shorter than its 64-byte header\n");
                return false;
            }
            // A manifest that is there but unusable leaves the package's restrictions unknown:
            // nothing is flashed unchecked.
            const Json::Value root = loadJsonFile(file);
            if (!root.isObject()) {
                std::printf("check.img error: %s", "not a readable JSON object, nothing is sent\n");
                return false;
            }
            if (!root["hwid"].isNull() && !CheckHardware(root["hwid"])) {
                return false;
            }
            if (!root["SupportLanguages"].isNull() && !CheckLanguage(root["SupportLanguages"])) {
                return false;
            }
        } else if (name == "Install") {
            const Json::Value root = loadJsonFile(file);
            if (root.isNull()) {
                continue;
            }
            const Json::Value commands = root.isObject() ? root["Commands"] : Json::Value();
            if (commands.isNull()) {
                continue;
            }
            if (!commands.isArray()) {
                std::printf("Install error: \"Commands\" is not an array\n");
                return false;
            }
            for (Json::ArrayIndex i = 0; i < commands.size(); ++i) {
                std::string image;
                if (!commands[i].isString() || !imageNameOf(commands[i].asString(), &image)) {
                    std::printf("Install error: \"Commands\" entry %u is unusable\n", i);
                    return false;
                }
                m_vecBootFileList.push_back(image);
            }
        }
    }
    if (m_vecBootFileList.empty()) {
        std::printf("vecBootFileList error: %s", "vecBootFileList.size() <=0\n");
        return false;
    }
    m_packageTotal = 0;
    int images = 0;
    for (const std::string& image : m_vecBootFileList) {
        for (const std::string& file : files) {
            if (fileNameOf(file) != image) {
                continue;
            }
            ++images;
            const File opened = OpenForReading(file);
            const int64_t size = opened ? FileSize(opened.get()) : -1;
            if (size < 0) {
                std::printf("fopen error: %s\n", file.c_str());
                return false;
            }
            m_packageTotal += size;
        }
    }
    // A listed image missing from the package is passed over, but a run that would send
    // nothing at all is no upgrade.
    if (images == 0) {
        std::printf("vecBootFileList error: %s", "none of the listed images is in the package\n");
        return false;
    }
    int64_t sent = 0;
    for (const std::string& image : m_vecBootFileList) {
        for (const std::string& file : files) {
            if (fileNameOf(file) == image && sendUpgrade(file, &sent) == 0) {
                return false;
            }
        }
    }
    Report(0, kTextDone);
    return true;
}

int UsbUpgrader::sendUpgradeCommand(const USBUPGRADE_cmd& header, const unsigned char* payload,
                                    unsigned char* answerHeader, unsigned char* answerPayload,
                                    int timeout, int* answerLength) {
    if (header.length > static_cast<uint32_t>(kBufferSize - kHeaderSize)) {
        return 0;
    }
    std::fill(m_send.begin(), m_send.begin() + kHeaderSize, 0);
    std::memcpy(m_send.data(), "cmd", 3);
    m_send[3] = header.code;
    PutLe32(&m_send[4], header.length);
    PutLe32(&m_send[8], header.sequence);
    if (header.length > 0) {
        std::memcpy(&m_send[kHeaderSize], payload, header.length);
    }
    if (writeData(m_send.data(), static_cast<int>(header.length) + kHeaderSize, timeout, 1) == -1) {
        return 0;
    }
    std::printf("writeData: %s, USBUPGRADE_cmd: %02x\n",
                toHexString(&m_send[kHeaderSize], kHeaderSize).c_str(), header.code);
    const int k = readData(m_receive.data(), timeout, 1);
    std::memcpy(answerHeader, m_receive.data(), kHeaderSize);
    if (k < 1) {
        std::printf("readData, recvLen<=0\n");
        return 0;
    }
    std::printf("readData: %s, USBUPGRADE_ans: %02x\n",
                toHexString(m_receive.data(), std::min(k, kHeaderSize)).c_str(), m_receive[3]);
    if (k < kHeaderSize || k + kHeaderSize >= kBufferSize || m_receive[3] != header.code ||
        std::memcmp(m_receive.data(), "ans", 3) != 0) {
        return 0;
    }
    const uint32_t length = GetLe32(&m_receive[4]);
    if (answerLength != nullptr) {
        *answerLength = 0;
    }
    if (length == 0) {
        return 0;  // no status: failure
    }
    if (length > static_cast<uint32_t>(k - kHeaderSize) || length > kAnswerPayloadSize) {
        std::printf("readData: answer payload of %u bytes, %d arrived\n", length, k - kHeaderSize);
        return 0;
    }
    std::memcpy(answerPayload, &m_receive[kHeaderSize], length);
    if (answerLength != nullptr) {
        *answerLength = static_cast<int>(length);
    }
    const int status = header.code > 1 ? answerPayload[0] : 0;
    return status == 0 ? 1 : 0;
}

int UsbUpgrader::sendUpgrade(const std::string& path, int64_t* sentCounter) {
    const File file = OpenForReading(path);
    const int64_t size = file ? FileSize(file.get()) : -1;
    if (size <= kImageHeaderBytes) {
        return 0;
    }
    std::vector<unsigned char> chunk(kChunkBytes);
    unsigned char answerHeader[kHeaderSize];
    unsigned char answer[kAnswerPayloadSize];
    if (std::fread(chunk.data(), 1, kImageHeaderBytes, file.get()) != kImageHeaderBytes) {
        return 0;
    }
    USBUPGRADE_cmd header;
    header.code = 2;
    header.length = kImageHeaderBytes;
    if (!sendUpgradeCommand(header, chunk.data(), answerHeader, answer, 10000)) {
        std::printf("cmd : %s -->%d", "cmdin.start  fail\n", 2);
        return 0;
    }
    header.code = 3;
    header.length = 0;
    if (!sendUpgradeCommand(header, nullptr, answerHeader, answer, 10000)) {
        std::printf("cmd : %s -->%d", "cmdin.start  fail\n", 3);
        return 0;
    }
    int64_t offset = kImageHeaderBytes;
    uint32_t sequence = 0;
    while (offset < size) {
        const int length = static_cast<int>(std::min<int64_t>(kChunkBytes, size - offset));
        if (std::fread(chunk.data(), 1, static_cast<size_t>(length), file.get()) !=
            static_cast<size_t>(length)) {
            // No end command: the camera must not take the part that was sent for the image.
            std::printf("sendUpgrade: cannot read %s\n", path.c_str());
            return 0;
        }
        header.code = 4;
        header.length = static_cast<uint32_t>(length);
        header.sequence = sequence;
        bool acknowledged = false;
        for (int left = kTries - 1; left >= 0 && !acknowledged; --left) {
            acknowledged = sendUpgradeCommand(header, chunk.data(), answerHeader, answer, 30000);
            if (!acknowledged) {
                std::printf("Retry : %s -->%d", "sendUpgrade  Retry\n", left);
            }
        }
        if (!acknowledged) {
            break;
        }
        ++sequence;
        offset += length;
        if (m_packageTotal > 0) {
            Report(static_cast<int>((offset + *sentCounter) * 100 / m_packageTotal), nullptr);
        }
    }
    *sentCounter += size;
    // The last chunk sent: the one that failed, or the last of the file.
    header.sequence = offset < size ? sequence : sequence - 1;
    header.code = 5;
    header.length = 0;
    const int ended = sendUpgradeCommand(header, nullptr, answerHeader, answer, 10000);
    // A camera that kept a chunk whose answers were all lost takes the image up to it: only this
    // side knows that the rest never went out.
    if (offset < size) {
        std::printf("sendUpgrade: chunk %u not acknowledged\n", sequence);
        return 0;
    }
    return ended;
}

int UsbUpgrader::upgradeCamera(const char* path) {
    if (path == nullptr || !USB_CAM_Update(path, 2)) {
        Report(-1, kTextFailed);
    }
    return 1;
}

bool UsbUpgrader::LeaveBootMode() {
    const std::string programmer = m_appDir + "/BootProgrammer/SlaveFifoSync-boot.img";
    if (m_transport == nullptr || !m_transport->loadBootProgrammer(programmer.c_str())) {
        std::printf("USB_CAM_Update: loading the boot programmer %s failed\n", programmer.c_str());
        return false;
    }
    // The camera restarts with the programmer: wait a bounded time, never load it again.
    for (int waited = 0; waited < m_bootReturnMs; waited += kBootPollMs) {
        if (m_transport->isBootMode() != 1) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kBootPollMs));
    }
    std::printf("USB_CAM_Update: the camera is still in boot mode after %d ms\n", m_bootReturnMs);
    return false;
}

bool UsbUpgrader::USB_CAM_Update(const std::string& path, int target) {
    static const char* const kStart[] = {"UPDATE-USB3-START", "UPDATE-FPGA-START",
                                         "UPDATE-CAM0-START"};
    static const char* const kEnd[] = {"UPDATE-USB3-END", "UPDATE-FPGA-END", "UPDATE-CAM0-END"};
    Report(0, kTextBusy);
    if (target < 0 || target > 2 || m_transport == nullptr) {
        return false;
    }
    if (m_transport->isBootMode() == 1 && (target != 0 || !LeaveBootMode())) {
        return false;
    }
    const File file = OpenForReading(path);
    if (!file) {
        return false;
    }
    const auto send = [&](const void* data, int length, int timeout) {
        return sendDataWithReply(static_cast<const unsigned char*>(data), length, timeout, 1);
    };
    if (!send(kStart[target], static_cast<int>(std::strlen(kStart[target])), 20000)) {
        std::printf("USB_CAM_Update  :UPDATE-USB3-START-->fail\n");
        return false;
    }
    const int64_t size = FileSize(file.get());
    if (size < 1 || size > UINT32_MAX) {
        std::printf("USB_CAM_Update  :LENTH-->nMaxLen <= 0\n");
        return false;
    }
    unsigned char sizeMessage[12];
    std::memcpy(sizeMessage, "filesize", 8);
    PutLe32(sizeMessage + 8, static_cast<uint32_t>(size));
    if (!send(sizeMessage, sizeof sizeMessage, 20000)) {
        std::printf("USB_CAM_Update  :send filesize ---> fail\n");
        return false;
    }
    // Holds a whole chunk, whatever the endpoint's packet size.
    std::vector<unsigned char> chunk(kRawChunkBytes);
    int64_t offset = 0;
    int number = 0;  // of the chunk under way
    while (offset < size) {
        const int length = static_cast<int>(std::min<int64_t>(kRawChunkBytes, size - offset));
        if (std::fread(chunk.data(), 1, static_cast<size_t>(length), file.get()) !=
            static_cast<size_t>(length)) {
            // No end message: the camera must not take the part that was sent for the image.
            std::printf("USB_CAM_Update: cannot read %s\n", path.c_str());
            return false;
        }
        bool acknowledged = false;
        for (int left = kTries - 1; left >= 0 && !acknowledged; --left) {
            acknowledged = send(chunk.data(), length, 20000);
            if (!acknowledged) {
                std::printf("USB_CAM_Update Retry : %s -->%d", "sendUpgrade  Retry\n", left);
            }
        }
        if (!acknowledged) {
            break;
        }
        offset += length;
        ++number;
        Report(static_cast<int>(offset * 100 / size), nullptr);
    }
    const bool ended = send(kEnd[target], static_cast<int>(std::strlen(kEnd[target])), 300000);
    if (!ended) {
        std::printf("USB_CAM_Update  :UPDATE-USB3-END-->fail\n");
    }
    // Any reply to the end message counts, so only this side knows that a chunk never got
    // through.
    if (offset < size) {
        std::printf("USB_CAM_Update: chunk %d not acknowledged\n", number);
    }
    if (!ended || offset < size) {
        return false;
    }
    Report(0, kTextDone);
    return true;
}

int UsbUpgrader::sendDataWithReply(const unsigned char* data, int length, int timeout,
                                   unsigned char channel) {
    if (length < 0 || length > kBufferSize) {
        return 0;
    }
    std::memcpy(m_send.data(), data, static_cast<size_t>(length));
    if (writeData(m_send.data(), length, timeout, channel) == -1) {
        return 0;
    }
    if (readData(m_receive.data(), timeout, channel) <= 0) {
        std::printf("sendDataWithReply readData, recvLen<=0\n");
        return 0;
    }
    return 1;
}

int UsbUpgrader::buildFrame(uint8_t funCode, const unsigned char* payload, int n,
                            unsigned char* out) {
    if (n < 0 || n + 10 > kBufferSize) {
        return 0;
    }
    out[0] = 0x6E;
    out[1] = 0;
    out[2] = 0;
    out[3] = funCode;
    out[4] = static_cast<unsigned char>(n >> 8);
    out[5] = static_cast<unsigned char>(n);
    const uint16_t headerCrc = crc16(out, 6);
    out[6] = static_cast<unsigned char>(headerCrc >> 8);
    out[7] = static_cast<unsigned char>(headerCrc);
    if (n > 0) {
        std::memcpy(out + 8, payload, static_cast<size_t>(n));
    }
    const uint16_t frameCrc = crc16(out, static_cast<size_t>(8 + n));
    out[8 + n] = static_cast<unsigned char>(frameCrc >> 8);
    out[9 + n] = static_cast<unsigned char>(frameCrc);
    return n + 10;
}

std::string UsbUpgrader::toHexString(const unsigned char* data, int length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(static_cast<size_t>(std::max(length, 0)) * 3);
    for (int i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
        text += ' ';
    }
    return text;
}

void UsbUpgrader::LogFrame(const char* what, const unsigned char* bytes, int length,
                           uint8_t funCode, const unsigned char* payload, int n) {
    const std::string dump = toHexString(bytes, length);
    if (n >= 2) {
        std::printf("%s: %s, funCode: %02x, QZCode: %02x\n", what, dump.c_str(), funCode,
                    payload[0]);
    } else {
        std::printf("%s: %s, funCode: %02x\n", what, dump.c_str(), funCode);
    }
}

bool UsbUpgrader::ReadAtLeast(int* received, int wanted, int timeout) {
    while (*received < wanted) {
        // Never past the receive buffer: the transport is asked for what is left of it.
        const int room = std::min<int>(m_transport->maxPacketSize(2), kBufferSize - *received);
        const int more =
            m_transport->readData(&m_receive[*received], room, std::max(timeout, kReadFloorMs), 2);
        if (more < 1) {
            return false;
        }
        *received += more;
    }
    return true;
}

int UsbUpgrader::sendFrame(uint8_t funCode, const unsigned char* payload, int n, int* status,
                           unsigned char* reply, int replySize, int* replyLength, int timeout) {
    if (funCode == 7) {
        timeout = 10000;
    }
    const int frameLength = buildFrame(funCode, payload, n, m_send.data());
    if (frameLength == 0 || writeData(m_send.data(), frameLength, timeout, 2) == -1) {
        return 0;
    }
    LogFrame("writeData", m_send.data(), frameLength, funCode, payload, n);
    int k = readData(m_receive.data(), timeout, 2);
    // A reply may come in pieces: the header first, whole, before anything in it is read.
    if (k < 1 || !ReadAtLeast(&k, 8, timeout)) {
        std::printf("readData, recvLen<=0\n");
        return 0;
    }
    LogFrame("readData", m_receive.data(), k, funCode, payload, n);
    if (m_receive[3] != funCode) {
        if (replyLength != nullptr) {
            *replyLength = 0;
        }
        return 0;
    }
    const int length = m_receive[4] << 8 | m_receive[5];
    if (length + 8 >= kBufferSize) {
        return 0;
    }
    if (!ReadAtLeast(&k, length + 8, timeout)) {
        return 0;
    }
    *status = m_receive[1];
    if (reply != nullptr && replyLength != nullptr) {
        if (*status != 0) {
            *replyLength = 0;
        } else if (length > replySize) {
            std::printf("readData: reply payload of %d bytes, the reply buffer holds %d\n", length,
                        replySize);
            *replyLength = 0;
            return 0;
        } else {
            std::memcpy(reply, &m_receive[8], static_cast<size_t>(length));
            *replyLength = length;
        }
    }
    return 1;
}

int UsbUpgrader::sendFrameChecked(uint8_t funCode, const unsigned char* payload, int n, int* status,
                                  unsigned char* reply, int replySize, int* replyLength,
                                  int timeout) {
    const int result =
        sendFrame(funCode, payload, n, status, reply, replySize, replyLength, timeout);
    if (result == 0) {
        return 0;
    }
    const int length = m_receive[4] << 8 | m_receive[5];
    const bool echoWrong = funCode == 0 && n > 0 && (length < 1 || m_receive[8] != payload[0]);
    if (*status != 0 || echoWrong) {
        LogFrame("ReplyErr", &m_receive[8], length, funCode, payload, n);
        return 0;
    }
    return result;
}
