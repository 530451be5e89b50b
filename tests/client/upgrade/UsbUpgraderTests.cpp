// The upgrade against the simulated camera: the frame layout, an image's exact commands, the
// shared read rules, retries and the end command deciding, the raw update, the package rules
// and every bound that fails a run instead of reading or writing out of bounds.
#include <gtest/gtest.h>
#include <minizip/zip.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <vector>

#include "support/TempDir.h"
#include "upgrade/Crc16.h"
#include "upgrade/SimulatedCamera.h"
#include "upgrade/UsbUpgrader.h"

namespace {

using CalorviewTest::TempDir;
using Fault = SimulatedCamera::Fault;
using Kind = SimulatedCamera::Kind;
using Misbehaviour = SimulatedCamera::Misbehaviour;

struct Report {
    int code;
    bool hasText;
    std::string text;
    bool operator==(const Report&) const = default;
};

void Record(int code, const char* text, void* user) {
    static_cast<std::vector<Report>*>(user)->push_back(
        {code, text != nullptr, text != nullptr ? text : ""});
}

std::vector<uint8_t> Bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + seed);
    }
    return bytes;
}

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    CalorviewTest::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string CheckImg(const std::string& json) {
    return std::string(64, 'H') + json;
}

class UpgradeTest : public testing::Test {
protected:
    void SetUp() override {
        m_upgrader.setTransport(&m_camera);
        m_upgrader.setCallback(&Record, &m_reports);
    }
    std::string folder() const { return m_dir.path().string() + "/"; }
    void file(const std::string& name, const std::string& content) {
        CalorviewTest::writeFile(m_dir.file(name), content);
    }
    // Runs a package folder, keeping what the run printed.
    bool run() {
        testing::internal::CaptureStdout();
        const bool ok = m_upgrader.upgradeFromFolder(folder());
        std::fflush(stdout);
        m_log = testing::internal::GetCapturedStdout();
        return ok;
    }
    // What `call` printed.
    template <typename Call>
    static std::string logged(Call call) {
        testing::internal::CaptureStdout();
        call();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::vector<uint8_t> codes() const {
        std::vector<uint8_t> codes;
        for (const auto& c : m_camera.commands()) {
            codes.push_back(c.code);
        }
        return codes;
    }

    TempDir m_dir;
    SimulatedCamera m_camera;
    UsbUpgrader m_upgrader;
    std::vector<Report> m_reports;
    std::string m_log;
};

TEST(UpgradeFrame, LayoutOfFunctionOneWithTwoBytes) {
    const unsigned char payload[] = {0x10, 0x20};
    unsigned char frame[12];
    ASSERT_EQ(UsbUpgrader::buildFrame(0x01, payload, 2, frame), 12);
    const unsigned char head[] = {0x6E, 0x00, 0x00, 0x01, 0x00, 0x02};
    EXPECT_EQ(std::vector<unsigned char>(frame, frame + 6),
              std::vector<unsigned char>(head, head + 6));
    const uint16_t headerCrc = crc16(frame, 6);
    EXPECT_EQ(frame[6] << 8 | frame[7], headerCrc);
    EXPECT_EQ(frame[8], 0x10);
    EXPECT_EQ(frame[9], 0x20);
    EXPECT_EQ(frame[10] << 8 | frame[11], crc16(frame, 10));
    EXPECT_EQ(UsbUpgrader::toHexString(frame, 3), "6E 00 00 ");
    std::vector<unsigned char> big(UsbUpgrader::kBufferSize);
    EXPECT_EQ(UsbUpgrader::buildFrame(1, big.data(), UsbUpgrader::kBufferSize - 9, big.data()), 0)
        << "a frame over the send buffer is refused";
}

TEST_F(UpgradeTest, ImageOfOneChunkAndOneByteGoesOutAsItsExactCommands) {
    const std::vector<uint8_t> image = Bytes(64 + 16384 + 1, 3);
    Write(m_dir.file("a.img"), image);
    int64_t sent = 100;
    ASSERT_EQ(m_upgrader.sendUpgrade(m_dir.file("a.img"), &sent), 1);
    const auto& commands = m_camera.commands();
    ASSERT_EQ(codes(), (std::vector<uint8_t>{2, 3, 4, 4, 5}));
    EXPECT_EQ(commands[0].payload, std::vector<uint8_t>(image.begin(), image.begin() + 64));
    EXPECT_EQ(commands[2].sequence, 0u);
    EXPECT_EQ(commands[2].payload.size(), 16384u);
    EXPECT_EQ(commands[3].sequence, 1u);
    EXPECT_EQ(commands[3].payload.size(), 1u);
    EXPECT_EQ(commands[4].sequence, 1u);
    ASSERT_EQ(m_camera.images().size(), 1u);
    EXPECT_EQ(m_camera.images()[0], image);
    EXPECT_EQ(sent, 100 + static_cast<int64_t>(image.size()));
    // The shared read rules: the floor on time-outs, and every read asks for maxPacketSize(2).
    for (const auto& read : m_camera.reads()) {
        EXPECT_GE(read.timeoutMs, 2000);
        EXPECT_EQ(read.maxLength, 32768);
    }
    Write(m_dir.file("tiny.img"), Bytes(64, 1));
    EXPECT_EQ(m_upgrader.sendUpgrade(m_dir.file("tiny.img"), &sent), 0);
    EXPECT_EQ(m_camera.commands().size(), 5u) << "64 bytes or less: nothing is sent";
}

TEST_F(UpgradeTest, AnswersThatDoNotFitFailTheExchange) {
    const struct {
        Misbehaviour what;
        uint8_t code;
    } cases[] = {{Misbehaviour::kWrongEcho, 3},      {Misbehaviour::kShortReply, 3},
                 {Misbehaviour::kOversizedReply, 0}, {Misbehaviour::kEmptyPayload, 3},
                 {Misbehaviour::kBadStatus, 3},      {Misbehaviour::kNoReply, 3}};
    for (const auto& c : cases) {
        SimulatedCamera camera;
        m_upgrader.setTransport(&camera);
        camera.misbehave(Fault(c.what, Kind::kExchange, c.code));
        USBUPGRADE_cmd header;
        header.code = c.code;
        unsigned char answerHeader[32];
        unsigned char answer[UsbUpgrader::kAnswerPayloadSize];
        testing::internal::CaptureStdout();
        EXPECT_EQ(m_upgrader.sendUpgradeCommand(header, nullptr, answerHeader, answer, 10000), 0)
            << static_cast<int>(c.what);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(UpgradeTest, RefusedChunksAreRetried) {
    Write(m_dir.file("a.img"), Bytes(64 + 3 * 16384, 5));
    m_camera.misbehave(Fault(Misbehaviour::kBadStatus, Kind::kExchange, 4, 1, 0, 2));
    int64_t sent = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_upgrader.sendUpgrade(m_dir.file("a.img"), &sent), 1);
    std::fflush(stdout);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Retry : sendUpgrade  Retry\n -->4"), std::string::npos) << log;
    EXPECT_NE(log.find("Retry : sendUpgrade  Retry\n -->3"), std::string::npos);
    EXPECT_EQ(log.find("-->2"), std::string::npos);
}

// Chunk 2 never gets through (refused, its writes failing, or all its answers lost): no further
// chunk, the end command (naming chunk 2, so a camera lacking it refuses the image) or message
// still goes out, and the transfer fails naming the chunk. Only when the answers alone were lost
// does the camera hold every byte; the client cannot know.
TEST_F(UpgradeTest, AChunkThatNeverGetsThroughFailsTheTransfer) {
    Write(m_dir.file("a.img"), Bytes(64 + 3 * 16384, 6));  // 49,216 bytes
    Write(m_dir.file("raw.img"), Bytes(70000, 9));         // the last 6,000 bytes in chunk 2
    for (const bool raw : {false, true}) {
        for (const auto what :
             {Misbehaviour::kBadStatus, Misbehaviour::kWriteFails, Misbehaviour::kNoReply}) {
            if (raw && what == Misbehaviour::kBadStatus) {
                continue;  // any reply to a raw chunk acknowledges it
            }
            SCOPED_TRACE(testing::Message() << raw << static_cast<int>(what));
            SimulatedCamera camera;
            m_upgrader.setTransport(&camera);
            camera.misbehave(
                raw ? Fault(what, Kind::kRawUpdate, SimulatedCamera::kRawData, -1, 2, 5)
                    : Fault(what, Kind::kExchange, 4, 2, 0, 5));
            int64_t sent = 0;
            const std::string log = logged([&] {
                raw ? m_upgrader.upgradeCamera(m_dir.file("raw.img").c_str())
                    : m_upgrader.sendUpgrade(m_dir.file("a.img"), &sent);
            });
            const bool held = what == Misbehaviour::kNoReply;
            if (raw) {
                EXPECT_NE(log.find("USB_CAM_Update: chunk 2 not acknowledged\n"),
                          std::string::npos);
                EXPECT_EQ(m_reports.back(), (Report{-1, true, UsbUpgrader::kTextFailed}));
                EXPECT_TRUE(camera.rawUpdates().at(0).ended);
                EXPECT_EQ(camera.rawUpdates()[0].complete, held);
            } else {
                EXPECT_NE(log.find("sendUpgrade: chunk 2 not acknowledged\n"), std::string::npos);
                EXPECT_EQ(camera.commands().back().code, 5);
                EXPECT_EQ(camera.commands().back().sequence, 2u) << "the last chunk sent";
                EXPECT_EQ(camera.images().size(), held ? 1u : 0u);
            }
        }
    }
}

TEST_F(UpgradeTest, FramedCommandsWaitTheirTimeAndCheckTheirReply) {
    const unsigned char payload[] = {0x42, 0x01};
    int status = -1;
    unsigned char reply[UsbUpgrader::kBufferSize];
    const int size = sizeof reply;
    int replyLength = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_upgrader.sendFrame(7, payload, 2, &status, reply, size, &replyLength, 50), 1);
    EXPECT_EQ(m_camera.reads().back().timeoutMs, 10000) << "function 7 always waits 10 s";
    EXPECT_EQ(m_upgrader.sendFrame(3, payload, 2, &status, reply, size, &replyLength, 50), 1);
    EXPECT_EQ(m_camera.reads().back().timeoutMs, 2000) << "the floor on reads";
    EXPECT_EQ(replyLength, 2);
    // A reply in two reads is completed; one claiming more than the buffer holds fails.
    m_camera.misbehave(Fault(Misbehaviour::kSplitReply, Kind::kFramed, 3));
    EXPECT_EQ(m_upgrader.sendFrame(3, payload, 2, &status, reply, size, &replyLength, 50), 1);
    m_camera.misbehave(Fault(Misbehaviour::kOversizedReply, Kind::kFramed, 3));
    EXPECT_EQ(m_upgrader.sendFrame(3, payload, 2, &status, reply, size, &replyLength, 50), 0);
    m_camera.misbehave(Fault(Misbehaviour::kWrongEcho, Kind::kFramed, 3));
    EXPECT_EQ(m_upgrader.sendFrame(3, payload, 2, &status, reply, size, &replyLength, 50), 0);
    EXPECT_EQ(replyLength, 0);
    m_camera.misbehave(Fault(Misbehaviour::kBadStatus, Kind::kFramed, 3));
    EXPECT_EQ(m_upgrader.sendFrameChecked(3, payload, 2, &status, reply, size, &replyLength, 50),
              0);
    // A reply payload longer than the caller's buffer is refused, nothing copied.
    m_camera.options().framedReplies[3] = std::vector<uint8_t>(100, 0x77);
    std::vector<unsigned char> small(4, 0);
    EXPECT_EQ(m_upgrader.sendFrame(3, payload, 2, &status, small.data(), 4, &replyLength, 50), 0);
    EXPECT_EQ(replyLength, 0);
    EXPECT_EQ(small, std::vector<unsigned char>(4, 0));
    std::fflush(stdout);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("ReplyErr: "), std::string::npos) << log;
    EXPECT_NE(log.find("funCode: 03, QZCode: 42\n"), std::string::npos);
}

TEST_F(UpgradeTest, RawUpdateSendsStartSizeChunksAndEnd) {
    const std::vector<uint8_t> image = Bytes(70000, 9);
    Write(m_dir.file("raw.img"), image);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_upgrader.upgradeCamera(m_dir.file("raw.img").c_str()), 1);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(m_camera.rawUpdates().size(), 1u);
    const auto& update = m_camera.rawUpdates()[0];
    EXPECT_EQ(update.target, 2);
    EXPECT_EQ(update.declaredSize, 70000u);
    EXPECT_EQ(update.chunks, 3);
    EXPECT_EQ(update.data, image);
    EXPECT_TRUE(update.ended);
    EXPECT_EQ(m_camera.received().front().bytes,
              std::vector<uint8_t>({'U', 'P', 'D', 'A', 'T', 'E', '-', 'C', 'A', 'M', '0', '-', 'S',
                                    'T', 'A', 'R', 'T'}));
    EXPECT_EQ(m_camera.reads().back().timeoutMs, 300000);
    const std::vector<Report> expected = {{0, true, UsbUpgrader::kTextBusy},
                                          {45, false, ""},
                                          {91, false, ""},
                                          {100, false, ""},
                                          {0, true, UsbUpgrader::kTextDone}};
    EXPECT_EQ(m_reports, expected);
    EXPECT_EQ(std::string(UsbUpgrader::kTextDone), "\xC9\xFD\xBC\xB6\xCD\xEA\xB3\xC9");
}

// A file that shrinks under way gets no end command or message: the camera must not take the
// part that was sent for the image.
TEST_F(UpgradeTest, AnImageThatCannotBeReadToItsEndIsNeverEnded) {
    std::string image = m_dir.file("a.img");
    m_upgrader.setCallback(
        [](int, const char* text, void* path) {
            if (text == nullptr) {  // progress: a chunk went out
                std::filesystem::resize_file(*static_cast<const std::string*>(path), 100);
            }
        },
        &image);
    file("Install", R"({"Commands": ["load a.img"]})");
    Write(image, Bytes(64 + 3 * 16384, 1));
    EXPECT_FALSE(run());
    EXPECT_NE(m_log.find("sendUpgrade: cannot read"), std::string::npos) << m_log;
    EXPECT_NE(codes().back(), 5);
    Write(image, Bytes(70000, 1));
    bool ended = true;
    EXPECT_NE(logged([&] {
                  ended = m_upgrader.USB_CAM_Update(image, 1);
              }).find("USB_CAM_Update: cannot read"),
              std::string::npos);
    EXPECT_FALSE(ended);
    EXPECT_FALSE(m_camera.rawUpdates().at(0).ended);
}

TEST_F(UpgradeTest, BootModeGetsTheProgrammerOnceAndABoundedWait) {
    Write(m_dir.file("raw.img"), Bytes(100, 1));
    m_upgrader.setApplicationDir("/opt/cv");
    m_upgrader.setBootReturnMs(300);
    m_camera.options().bootMode = true;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_upgrader.USB_CAM_Update(m_dir.file("raw.img"), 2)) << "only the USB3 target";
    EXPECT_TRUE(m_camera.bootLoads().empty());
    EXPECT_TRUE(m_upgrader.USB_CAM_Update(m_dir.file("raw.img"), 0));
    EXPECT_EQ(m_camera.bootLoads(),
              std::vector<std::string>{"/opt/cv/BootProgrammer/SlaveFifoSync-boot.img"});
    SimulatedCamera stuck;
    stuck.options().bootMode = true;
    stuck.options().bootModeAfterLoad = -1;
    m_upgrader.setTransport(&stuck);
    EXPECT_FALSE(m_upgrader.USB_CAM_Update(m_dir.file("raw.img"), 0));
    EXPECT_EQ(stuck.bootLoads().size(), 1u);
    std::fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("still in boot mode"), std::string::npos);
}

TEST_F(UpgradeTest, PackageImagesGoInInstallOrderWithTheirChecks) {
    file("check.img", CheckImg(R"({"hwid": ["TC-640-B", "TC-480-A"],
                                   "SupportLanguages": ["English", "SimpChinese"]})"));
    file("Install", R"({"Commands": ["load a.img", "load b.img", "load a.img", "load zz.img"]})");
    Write(m_dir.file("a.img"), Bytes(200, 1));
    Write(m_dir.file("b.img"), Bytes(300, 2));
    ASSERT_TRUE(run()) << m_log;
    // The second identifier matches; the missing image is passed over; a is sent twice.
    ASSERT_EQ(m_camera.images().size(), 3u);
    EXPECT_EQ(m_camera.images()[0], Bytes(200, 1));
    EXPECT_EQ(m_camera.images()[1], Bytes(300, 2));
    EXPECT_EQ(m_upgrader.packageTotal(), 700);
    EXPECT_EQ(m_reports.front(), (Report{0, true, UsbUpgrader::kTextBusy}));
    EXPECT_EQ(m_reports.back(), (Report{0, true, UsbUpgrader::kTextDone}));
    EXPECT_EQ(m_reports[1], (Report{28, false, ""})) << "200 of 700 bytes";

    // Without a manifest nothing is asked of the camera.
    std::filesystem::remove(m_dir.file("check.img"));
    SimulatedCamera camera;
    m_upgrader.setTransport(&camera);
    ASSERT_TRUE(run());
    for (const auto& c : camera.commands()) {
        EXPECT_GT(c.code, 1);
    }
}

TEST_F(UpgradeTest, RunsThatMustFailDoFailWithALogLine) {
    // Deeper than JsonCpp's stack limit, which it reports by throwing.
    const std::string deep = std::string(1500, '[') + std::string(1500, ']');
    const struct {
        const char* check;  // null: no check.img; "->": a link to a good one
        const char* install;
        const char* log;
    } cases[] = {
        {deep.c_str(), R"({"Commands": ["load a.img"]})", "check.img error"},
        {"not JSON", R"({"Commands": ["load a.img"]})", "check.img error"},
        {"->", R"({"Commands": ["load a.img"]})", "check.img error"},
        {nullptr, deep.c_str(), "vecBootFileList.size() <=0"},
        {nullptr, R"({"Commands": ["load none.img"]})", "none of the listed images"},
        {R"({"hwid": ["TC-640-B", "TC-9"]})", R"({"Commands": ["load a.img"]})", "hwid != "},
        {R"({"SupportLanguages": "Spanish"})", R"({"Commands": ["load a.img"]})",
         "SupportLanguages NOT Support"},
        {R"({"hwid": 42})", R"({"Commands": ["load a.img"]})", "hwid error"},
        {nullptr, R"({"Commands": ["abc"]})", "names no image"},
        {nullptr, R"({"Commands": ["loadxnodot"]})", "names no image"},
        {nullptr, R"({"Commands": [7]})", "unusable"},
        {nullptr, R"({"Commands": "load a.img"})", "not an array"},
        {nullptr, R"([1, 2])", "vecBootFileList.size() <=0"},
        {nullptr, R"({"Commands": ["load ln.img"]})", "fopen error"},
        {"", R"({"Commands": ["load a.img"]})", "shorter than its 64-byte header"},
    };
    Write(m_dir.file("a.img"), Bytes(200, 1));
    std::filesystem::create_symlink(m_dir.file("a.img"), m_dir.file("ln.img"));
    // A link's own size is its target's name: long enough not to look short.
    const std::string good(80, 'g');
    file(good, CheckImg(R"({"hwid": "TC-480-A"})"));
    for (const auto& c : cases) {
        std::filesystem::remove(m_dir.file("check.img"));
        if (c.check != nullptr && std::string(c.check) == "->") {
            std::filesystem::create_symlink(good, m_dir.file("check.img"));
        } else if (c.check != nullptr) {
            file("check.img", *c.check ? CheckImg(c.check) : std::string(10, 'x'));
        }
        file("Install", c.install);
        m_reports.clear();
        EXPECT_FALSE(run()) << c.install;
        EXPECT_NE(m_log.find(c.log), std::string::npos) << c.log << "\n" << m_log;
    }
    EXPECT_TRUE(m_camera.images().empty());
}

// A zip of (name, content) entries.
void WritePackage(const std::string& path,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    for (const auto& [name, content] : entries) {
        zip_fileinfo info{};
        zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION);
        zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
}

// The package goes into a fresh folder beside it: the user's files, the package itself and
// leftovers of other packages lying there are neither replaced nor sent.
TEST_F(UpgradeTest, UpgradingfileUnpacksIntoAFreshFolderOfItsOwn) {
    namespace fs = std::filesystem;
    const std::string package = m_dir.file("fw.bin");
    const std::string install = R"({"Commands": ["load cam.img"]})";
    file("readme.txt", "the user's own file");
    fs::permissions(m_dir.file("readme.txt"), fs::perms(0644));
    file("Install", install);
    Write(m_dir.file("cam.img"), Bytes(300, 4));  // an older image
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
        bool sent;
    } cases[] = {
        {"carries its image",
         {{"Install", install},
          {"cam.img", std::string(500, 'c')},
          {"readme.txt", "theirs"},
          {"fw.bin", "not the package"}},
         true},
        {"names an image it lacks", {{"Install", install}}, false},
        {"has no Install", {{"cam.img", std::string(500, 'c')}}, false},
    };
    const auto listing = [&] {
        return std::set<fs::path>(fs::directory_iterator(m_dir.path()), {});
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedCamera camera;
        m_upgrader.setTransport(&camera);
        WritePackage(package, c.entries);
        const std::set<fs::path> before = listing();
        const std::string packageBytes = CalorviewTest::readFile(package);
        const std::string log =
            logged([&] { EXPECT_EQ(m_upgrader.Upgradingfile(package.c_str()), 1); });
        EXPECT_EQ(m_reports.back().code, c.sent ? 0 : -1);
        EXPECT_EQ(camera.images().size(), c.sent ? 1u : 0u);
        if (c.sent) {
            EXPECT_EQ(camera.images().at(0), std::vector<uint8_t>(500, 'c'));
        }
        EXPECT_EQ(CalorviewTest::readFile(m_dir.file("readme.txt")), "the user's own file");
        EXPECT_EQ(fs::status(m_dir.file("readme.txt")).permissions(), fs::perms(0644));
        EXPECT_EQ(CalorviewTest::readFile(package), packageBytes);
        std::set<fs::path> added = listing();
        std::erase_if(added, [&](const fs::path& p) { return before.count(p) > 0; });
        ASSERT_EQ(added.size(), 1u);
        const fs::path folder = *added.begin();
        EXPECT_EQ(folder.filename().string().rfind("fw.bin.", 0), 0u) << folder;
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::exists(folder / "Install"), c.entries.front().first == "Install");
        EXPECT_NE(log.find("Upgradingfile: unpacking into " + folder.string() + "/\n"),
                  std::string::npos)
            << log;
    }

    // No camera, no path, no ".bin": nothing starts, and no folder is left behind.
    const std::set<fs::path> before = listing();
    m_reports.clear();
    logged([&] {
        EXPECT_EQ(m_upgrader.Upgradingfile(nullptr), 0);
        EXPECT_EQ(m_upgrader.upgradeCamera(nullptr), 1);
        EXPECT_EQ(m_upgrader.Upgradingfile(m_dir.file("fw.pkg").c_str()), 0);
        m_upgrader.setTransport(nullptr);
        EXPECT_EQ(m_upgrader.Upgradingfile(package.c_str()), 0);
    });
    EXPECT_EQ(m_reports, std::vector<Report>(4, Report{-1, true, UsbUpgrader::kTextFailed}));
    EXPECT_EQ(listing(), before);
}

// Random manifests, install lists and camera answers: the run may fail, never crash or hang.
TEST_F(UpgradeTest, RandomInputNeverCrashes) {
    std::mt19937 random(20261207);
    const std::string pieces[] = {"{",
                                  "}",
                                  "[",
                                  "]",
                                  "\"hwid\"",
                                  "\"Commands\"",
                                  ":",
                                  ",",
                                  "\"load a.img\"",
                                  "\"TC-480-A\"",
                                  "1",
                                  "null",
                                  "\"SimpChinese\"",
                                  "\"SupportLanguages\"",
                                  "\"x\"",
                                  "\"abcde.\""};
    Write(m_dir.file("a.img"), Bytes(200, 1));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 300; ++i) {
        std::string check, install;
        for (int k = random() % 12; k > 0; --k) {
            check += pieces[random() % std::size(pieces)];
            install += pieces[random() % std::size(pieces)];
        }
        file("check.img", CheckImg(check));
        file("Install", install);
        SimulatedCamera camera;
        const auto what = static_cast<Misbehaviour>(random() % 9);
        // Slow replies stay short: the test is about shapes, not waiting.
        const int value =
            static_cast<int>(random() % (what == Misbehaviour::kSlowReply ? 5 : 40000));
        camera.misbehave(Fault(what, Kind::kAny, -1, -1, static_cast<int>(random() % 4), 1, value));
        m_upgrader.setTransport(&camera);
        m_upgrader.upgradeFromFolder(folder());
        const unsigned char payload[] = {static_cast<unsigned char>(random()), 1, 2};
        int status = 0;
        unsigned char reply[UsbUpgrader::kBufferSize];
        int replyLength = 0;
        m_upgrader.sendFrameChecked(static_cast<uint8_t>(random() % 8), payload, random() % 4,
                                    &status, reply, sizeof reply, &replyLength, 100);
    }
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
}

// Random images and camera faults: the transfer may fail, but one the client calls a success is
// one the camera holds whole.
TEST_F(UpgradeTest, SuccessMeansTheCameraHoldsTheWholeImage) {
    std::mt19937 random(20261208);
    const Misbehaviour faults[] = {Misbehaviour::kNoReply,    Misbehaviour::kShortReply,
                                   Misbehaviour::kWrongEcho,  Misbehaviour::kBadStatus,
                                   Misbehaviour::kWriteFails, Misbehaviour::kEmptyPayload};
    const auto pick = [&random](int below) { return static_cast<int>(random() % below); };
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        const std::vector<uint8_t> image = Bytes(65 + pick(80000), static_cast<uint8_t>(i));
        Write(m_dir.file("a.img"), image);
        SimulatedCamera camera;
        m_upgrader.setTransport(&camera);
        const bool raw = pick(2) == 0;
        // Mostly data chunks, often refused all five times.
        for (int k = 1 + pick(2); k > 0; --k) {
            const int code = pick(2) == 0 ? (raw ? SimulatedCamera::kRawData : 4)
                                          : (raw ? pick(4) : 2 + pick(4));
            camera.misbehave(Fault(faults[pick(std::size(faults))],
                                   raw ? Kind::kRawUpdate : Kind::kExchange, code, pick(6) - 1,
                                   pick(3), pick(2) == 0 ? 5 : 1 + pick(6)));
        }
        int64_t sent = 0;
        bool succeeded = false;
        logged([&] {
            succeeded = raw ? m_upgrader.USB_CAM_Update(m_dir.file("a.img"), 2)
                            : m_upgrader.sendUpgrade(m_dir.file("a.img"), &sent) == 1;
        });
        if (succeeded && raw) {
            EXPECT_TRUE(camera.rawUpdates().at(0).complete);
        } else if (succeeded) {
            EXPECT_EQ(camera.images(), std::vector<std::vector<uint8_t>>{image});
        }
    }
}

}  // namespace
