// The firmware upgrade: unpacks an upgrade package (a zip named "*.bin" holding "check.img",
// "Install" and the images), checks its manifest against the camera, and sends the images with
// the upgrade commands; also the raw camera update and the framed commands. Nothing in the
// client's user interface starts it: the calorview-upgrade tool and the tests do.
//
// The transport (UpgradeTransport) is the link to the camera; the rules every transport shares
// are applied here, in readData: a time-out below 2000 ms is raised to 2000 ms, and every read
// asks for maxPacketSize(2) bytes (at most the 32768-byte receive buffer).
//
// Progress and outcome go to the status callback: (0, "升级中"), percentages (text null),
// (0, "升级完成") or (-1, "升级失败"), the texts as GBK bytes. Log lines go to standard output.
//
// Threads: everything runs synchronously on the one thread that calls an entry point; the
// callback is called on it. Not shared between threads.
#pragma once

#include <json/value.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/UpgradeTransport.h"

using StatusCallback = void (*)(int code, const char* text, void* user);

// The image-transfer request header: "cmd", command code, payload length and chunk sequence
// (both little-endian on the wire), 20 zero bytes: 32 bytes in all.
struct USBUPGRADE_cmd {
    uint8_t code = 0;
    uint32_t length = 0;
    uint32_t sequence = 0;
};

class UsbUpgrader {
public:
    static constexpr int kBufferSize = 32768;
    static constexpr int kHeaderSize = 32;
    static constexpr int kAnswerPayloadSize = 1024;
    // The three status texts, GBK bytes of 升级中, 升级完成, 升级失败.
    static const char* const kTextBusy;
    static const char* const kTextDone;
    static const char* const kTextFailed;

    // Not owned; null means no camera: Upgradingfile refuses to start.
    void setTransport(UpgradeTransport* transport) { m_transport = transport; }
    void setCallback(StatusCallback callback, void* user);
    // Where the boot programmer image lies ("BootProgrammer/SlaveFifoSync-boot.img" below it).
    void setApplicationDir(const std::string& dir) { m_appDir = dir; }
    // How long the camera may take to leave boot mode after the boot programmer was loaded.
    void setBootReturnMs(int ms) { m_bootReturnMs = ms; }

    // Unpacks the package into a fresh folder beside it (named after it, "fw.bin.XXXXXX", mode
    // 0700, kept after the run) and sends what came out: 0 when it did not start (no transport,
    // no path, unpacking failed), 1 when processing ran; the outcome goes to the callback.
    int Upgradingfile(const char* packagePath);
    // 1 when the package (its name holds ".bin") was unpacked into `folder`, else 0.
    int Unpacket_Updatefile(const char* packagePath, const char* folder);
    // Safe unzip of `zipPath` into `folder`: 1 or 0.
    int Zip_UnPackFiles(const char* zipPath, const char* folder);
    // Checks and sends the unpacked package in `folder` ("" or ending with "/"). A "check.img"
    // that is there but not a readable JSON object fails the run.
    bool upgradeFromFolder(const std::string& folder);
    // Sends a raw camera image (target 2): always 1; the outcome goes to the callback.
    int upgradeCamera(const char* path);
    // The raw update of `target` (0 USB3, 1 FPGA, 2 CAM0); false also when a chunk never got
    // through, though the end message is sent.
    bool USB_CAM_Update(const std::string& path, int target);

    // One image-transfer exchange: 1 when the answer matches and reports success.
    // `answerHeader` takes 32 bytes, `answerPayload` kAnswerPayloadSize; *answerLength (if
    // given) the answer's payload length.
    int sendUpgradeCommand(const USBUPGRADE_cmd& header, const unsigned char* payload,
                           unsigned char* answerHeader, unsigned char* answerPayload, int timeout,
                           int* answerLength = nullptr);
    // One image file: command 2 (its first 64 bytes), 3, chunks of 16384 (command 4), 5 with
    // the number of the last chunk sent (a chunk refused five times ends the chunks).
    int sendUpgrade(const std::string& path, int64_t* sentCounter);
    int sendDataWithReply(const unsigned char* data, int length, int timeout,
                          unsigned char channel);
    // A framed command on channel 2; 1 when a reply for `funCode` arrived whole. `reply` (if
    // given) holds `replySize` bytes; a longer reply payload fails the exchange, copying nothing.
    int sendFrame(uint8_t funCode, const unsigned char* payload, int n, int* status,
                  unsigned char* reply, int replySize, int* replyLength, int timeout);
    int sendFrameChecked(uint8_t funCode, const unsigned char* payload, int n, int* status,
                         unsigned char* reply, int replySize, int* replyLength, int timeout);

    // The n + 10 byte frame into `out`; its length, or 0 when it would not fit the send buffer.
    static int buildFrame(uint8_t funCode, const unsigned char* payload, int n, unsigned char* out);
    // Each byte as "%02X ".
    static std::string toHexString(const unsigned char* data, int length);
    // The part after the last "/" or "\"; "" when there is neither.
    static std::string fileNameOf(const std::string& path);
    // The parsed file, null on any failure, with a log line ("check.img": after its 64-byte
    // header).
    static Json::Value loadJsonFile(const std::string& path);
    // Full paths of the regular files directly in `folder` (ending with "/"); false when a
    // path would be over 511 characters or the folder cannot be read.
    static bool listFiles(const std::string& folder, std::vector<std::string>* files);
    // The image name a "Commands" entry yields; false (with a log line) when it has none.
    static bool imageNameOf(const std::string& command, std::string* name);

    int64_t packageTotal() const { return m_packageTotal; }

private:
    // The transport with the shared rules applied.
    int writeData(const unsigned char* buffer, int length, int timeout, unsigned char channel);
    int readData(unsigned char* buffer, int timeout, unsigned char channel);
    void Report(int code, const char* text);
    // A framed exchange's log line: "<what>: <hex>, funCode: xx[, QZCode: xx]".
    static void LogFrame(const char* what, const unsigned char* bytes, int length, uint8_t funCode,
                         const unsigned char* payload, int n);
    // Reads more of a framed reply on channel 2 until `wanted` bytes are in the receive buffer.
    bool ReadAtLeast(int* received, int wanted, int timeout);
    bool CheckHardware(const Json::Value& hwid);
    bool CheckLanguage(const Json::Value& languages);
    bool LeaveBootMode();

    UpgradeTransport* m_transport = nullptr;
    StatusCallback m_callback = nullptr;
    void* m_user = nullptr;
    std::string m_appDir = ".";
    int m_bootReturnMs = 10000;
    int64_t m_packageTotal = 0;
    std::vector<std::string> m_vecBootFileList;
    std::array<unsigned char, kBufferSize> m_send{};
    std::array<unsigned char, kBufferSize> m_receive{};
};
