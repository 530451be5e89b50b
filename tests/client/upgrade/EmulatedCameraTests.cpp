// The upgrade's USB path through real libusb: LibusbTransport and the calorview-upgrade tool
// against the emulated camera (umockdev), whole transfers compared byte for byte, and each fault
// with the line the user sees. Skipped, with the reason, where umockdev's preload is not active.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "EmulatedCamera.h"
#include "support/TempDir.h"
#include "upgrade/LibusbTransport.h"
#include "upgrade/UsbUpgrader.h"

namespace {

using CalorviewTest::TempDir;
using Bytes = std::vector<uint8_t>;
using Fault = CameraModel::Fault;
using Kind = CameraModel::Kind;
using M = CameraModel::Misbehaviour;

#define SKIP_WITHOUT_EMULATION()                                             \
    if (const std::string why = EmulatedCamera::Unavailable(); !why.empty()) \
    GTEST_SKIP() << why

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + seed + i / 251);
    }
    return bytes;
}

void Write(const std::string& path, const Bytes& bytes) {
    CalorviewTest::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// The images end on whole packets somewhere, so that a missing zero-length packet shows: the raw
// image's last 32000-byte chunk is 4096 bytes, the first package image's last command 4 is 512
// bytes with its header.
const Bytes kRawImage = Pattern(3 * 32000 + 4096, 1);
const Bytes kAppImage = Pattern(64 + 16384 + 480, 2);
const Bytes kFpgaImage = Pattern(64 + 3 * 16384 + 100, 3);

// The tool as staged, in an application folder of its own with a boot programmer beside it,
// run in the emulated system; its stderr and stdout, and its exit status.
struct ToolRun {
    int status = -1;
    std::string output;
};

class ToolFolder {
public:
    ToolFolder() {
        std::filesystem::copy_file(CALORVIEW_UPGRADE_TOOL, m_dir.file("calorview-upgrade"));
        std::filesystem::create_directory(m_dir.path() / "BootProgrammer");
        Write(m_dir.file("BootProgrammer/SlaveFifoSync-boot.img"), Pattern(40000, 4));
        Write(m_dir.file("raw.img"), kRawImage);
        const std::string src = m_dir.file("src");
        std::filesystem::create_directory(src);
        CalorviewTest::writeFile(src + "/check.img",
                                 std::string(64, 'H') + "{\"hwid\": \"TC-480-A\"}");
        CalorviewTest::writeFile(src + "/Install",
                                 "{\"Commands\": [\"load app.img\", \"load fpga.img\"]}");
        Write(src + "/app.img", kAppImage);
        Write(src + "/fpga.img", kFpgaImage);
        const std::string zip =
            "cd '" + src + "' && zip -q ../fw.bin check.img Install app.img fpga.img";
        m_zipped = std::system(zip.c_str()) == 0;
    }
    bool ready() const { return m_zipped; }
    std::string file(const std::string& name) const { return m_dir.file(name); }

    ToolRun run(const std::vector<std::string>& args) const {
        std::string command = "'" + m_dir.file("calorview-upgrade") + "'";
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        ToolRun run;
        FILE* pipe = popen((command + " 2>&1").c_str(), "r");
        if (pipe == nullptr) {
            return run;
        }
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            run.output.append(buffer, n);
        }
        const int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

private:
    TempDir m_dir;
    bool m_zipped = false;
};

TEST(EmulatedCameraTest, TransportFindsTheUpgradeInterfaceAndOutlivesATimeOut) {
    SKIP_WITHOUT_EMULATION();
    EmulatedCamera::Setup setup;
    setup.faults = {Fault(M::kNoReply, Kind::kFramed, 2)};
    EmulatedCamera camera(setup);
    EXPECT_EQ(LibusbTransport::ListCandidates(),
              std::vector<std::string>{"bus 001 device 007 1d6b:0102 Thermal Camera"});
    LibusbTransport usb;
    ASSERT_TRUE(usb.open()) << usb.reason();
    EXPECT_EQ(usb.maxPacketSize(1), 512);
    EXPECT_EQ(usb.maxPacketSize(2), 512);

    // Framed commands go over the second bulk pair. The first fills exactly one packet, so only
    // a zero-length packet tells the camera it ended; function 2 gets no reply and its read
    // times out; function 3 then gets its own reply, not a stale one.
    const auto exchange = [&](uint8_t code, int payload, int timeoutMs) {
        Bytes frame(UsbUpgrader::kBufferSize);
        const Bytes data = Pattern(static_cast<size_t>(payload), code);
        const int length = UsbUpgrader::buildFrame(code, data.data(), payload, frame.data());
        EXPECT_EQ(usb.writeData(frame.data(), length, 1000, 2), length);
        Bytes reply(512);
        const int n = usb.readData(reply.data(), 512, timeoutMs, 2);
        return n >= 4 ? reply[3] : n;
    };
    EXPECT_EQ(exchange(1, 502, 2000), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(2, 4, 300), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(exchange(3, 4, 2000), 3);

    const CameraModel model = camera.model();
    ASSERT_EQ(model.framedRequests().size(), 3u);
    for (const auto& request : model.framedRequests()) {
        EXPECT_TRUE(request.crcOk);
    }
    EXPECT_EQ(model.framedRequests()[0].payload.size(), 502u);
    EXPECT_EQ(camera.strayBytes(), 0u) << "the video interface's endpoints were used";
}

// Packages and raw updates of every target, over a host that takes 32000-byte transfers whole
// and one that splits them into 16384 + 15616: the camera assembles what was sent.
TEST(EmulatedCameraTest, ToolSendsPackagesAndRawImagesWhole) {
    SKIP_WITHOUT_EMULATION();
    const ToolFolder tool;
    ASSERT_TRUE(tool.ready());
    for (const bool split : {false, true}) {
        for (const int target : {-1, 0, 1, 2}) {
            SCOPED_TRACE(testing::Message() << "split " << split << ", target " << target);
            EmulatedCamera::Setup setup;
            setup.splitHost = split;
            EmulatedCamera camera(setup);
            const ToolRun run =
                target < 0
                    ? tool.run({tool.file("fw.bin")})
                    : tool.run({"--raw", tool.file("raw.img"), "--target", std::to_string(target)});
            EXPECT_EQ(run.status, 0) << run.output;
            const CameraModel model = camera.model();
            if (target < 0) {
                EXPECT_EQ(model.images(), (std::vector<Bytes>{kAppImage, kFpgaImage}));
            } else {
                ASSERT_EQ(model.rawUpdates().size(), 1u);
                EXPECT_EQ(model.rawUpdates()[0].target, target);
                EXPECT_EQ(model.rawUpdates()[0].data, kRawImage);
                EXPECT_TRUE(model.rawUpdates()[0].complete);
            }
        }
    }
}

// Each fault with what the user sees: the exit status (0 only when the last status report said
// the upgrade completed) and the last line. A lost reply waits out the protocol's fixed 20 s
// and the boot loader that never returns the transport's 15 s; every other case is quick.
TEST(EmulatedCameraTest, ToolReportsEachFaultInItsLastLine) {
    SKIP_WITHOUT_EMULATION();
    const ToolFolder tool;
    ASSERT_TRUE(tool.ready());
    const std::vector<std::string> package = {tool.file("fw.bin")};
    const std::vector<std::string> raw = {"--raw", tool.file("raw.img")};
    const std::vector<std::string> bootRaw = {"--boot-loader",      "1d6b:0103", "--raw",
                                              tool.file("raw.img"), "--target",  "0"};
    enum Boot { kNoBoot, kReturns, kNeverReturns };
    const struct {
        const char* name;
        std::vector<Fault> faults;
        int claimErrno;
        Boot boot;
        const std::vector<std::string>& args;
        int status;
        std::string line;  // the output ends with it
    } cases[] = {
        {"reply lost, chunk resent",
         {Fault(M::kNoReply, Kind::kRawUpdate, CameraModel::kRawData, 1)},
         0,
         kNoBoot,
         raw,
         0,
         "升级完成"},
        {"slow reply",
         {Fault(M::kSlowReply, Kind::kRawUpdate, -1, -1, 0, 3, 300)},
         0,
         kNoBoot,
         raw,
         0,
         "升级完成"},
        {"short reply",
         {Fault(M::kShortReply, Kind::kExchange, 0)},
         0,
         kNoBoot,
         package,
         1,
         "the upgrade failed: hwid error: GET hwid FAIL"},
        {"oversized reply",
         {Fault(M::kOversizedReply, Kind::kExchange, 0)},
         0,
         kNoBoot,
         package,
         1,
         "the upgrade failed: hwid error: GET hwid FAIL"},
        {"chunk refused twice",
         {Fault(M::kBadStatus, Kind::kExchange, 4, 0, 0, 2)},
         0,
         kNoBoot,
         package,
         0,
         "升级完成"},
        {"chunk refused five times",
         {Fault(M::kBadStatus, Kind::kExchange, 4, 0, 0, 5)},
         0,
         kNoBoot,
         package,
         1,
         "the upgrade failed: sendUpgrade: chunk 0 not acknowledged"},
        {"unplugged at message 3",
         {Fault(M::kUnplug, Kind::kAny, -1, -1, 2)},
         0,
         kNoBoot,
         raw,
         1,
         "the upgrade failed: the camera went away (unplugged or restarting)"},
        {"busy interface",
         {},
         EBUSY,
         kNoBoot,
         raw,
         1,
         "the camera's upgrade interface 1 is busy: another program holds it"},
        {"claim refused",
         {},
         EACCES,
         kNoBoot,
         raw,
         1,
         "cannot claim the camera's upgrade interface 1: LIBUSB_ERROR_OTHER"},
        {"boot loader hands over", {}, 0, kReturns, bootRaw, 0, "升级完成"},
        {"boot loader never returns",
         {},
         0,
         kNeverReturns,
         bootRaw,
         1,
         "the upgrade failed: the camera did not come back within 15 s after loading the boot "
         "programmer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EmulatedCamera::Setup setup;
        setup.faults = c.faults;
        setup.claimErrno = c.claimErrno;
        setup.camera.bootMode = c.boot != kNoBoot;
        setup.camera.bootModeAfterLoad = c.boot == kNeverReturns ? -1 : 1;
        EmulatedCamera camera(setup);
        const ToolRun run = tool.run(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.output.ends_with(c.line + "\n")) << run.output;
        const CameraModel model = camera.model();
        if (c.status == 0 && c.args != package) {
            ASSERT_FALSE(model.rawUpdates().empty());
            EXPECT_TRUE(model.rawUpdates().back().complete);
        }
    }
}

}  // namespace
