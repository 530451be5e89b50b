#include "upgrade/SimulatedCamera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "upgrade/LibusbTransport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Fault = SimulatedCamera::Fault;
using Kind = SimulatedCamera::Kind;
using M = SimulatedCamera::Misbehaviour;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// An image-transfer request: "cmd", code, payload length and sequence little-endian, zeros.
Bytes command(uint8_t code, const Bytes& payload = {}, uint32_t sequence = 0) {
    Bytes bytes(32, 0);
    bytes[0] = 'c';
    bytes[1] = 'm';
    bytes[2] = 'd';
    bytes[3] = code;
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<uint8_t>(payload.size() >> (8 * i));
        bytes[8 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    }
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

// Function code 0x01 with payload 10 20, its two CRCs worked out by hand.
const Bytes kFrame = {0x6E, 0, 0, 0x01, 0, 2, 0xC8, 0xC9, 0x10, 0x20, 0x27, 0x11};

struct Reply {
    int result = -1;
    Bytes bytes;
};

Reply read(SimulatedCamera& camera, unsigned char channel, int timeoutMs = 2000) {
    Bytes buffer(32768);
    Reply reply;
    reply.result =
        camera.readData(buffer.data(), static_cast<int>(buffer.size()), timeoutMs, channel);
    if (reply.result > 0) {
        reply.bytes.assign(buffer.begin(), buffer.begin() + reply.result);
    }
    return reply;
}

Reply ask(SimulatedCamera& camera, const Bytes& request, unsigned char channel = 1,
          int timeoutMs = 2000) {
    if (camera.writeData(request.data(), static_cast<int>(request.size()), timeoutMs, channel) !=
        static_cast<int>(request.size())) {
        return {};
    }
    return read(camera, channel, timeoutMs);
}

uint32_t le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Both CRCs of a framed message verify.
bool framedCrcsVerify(const Bytes& b) {
    const size_t n = b[4] << 8 | b[5];
    return b.size() == n + 10 && SimulatedCamera::FrameCrc(b.data(), 6) == (b[6] << 8 | b[7]) &&
           SimulatedCamera::FrameCrc(b.data(), n + 8) == (b[n + 8] << 8 | b[n + 9]);
}

TEST(SimulatedCameraTest, FrameCrcIsXmodem) {
    const Bytes digits = text("123456789");
    EXPECT_EQ(SimulatedCamera::FrameCrc(digits.data(), digits.size()), 0x31C3);
    EXPECT_TRUE(framedCrcsVerify(kFrame));
}

TEST(SimulatedCameraTest, ExchangeAnswersIdentifierAndLanguage) {
    SimulatedCamera::Options options;
    options.hardwareId = "TC-480-B";
    options.language = 0;
    SimulatedCamera camera(options);
    const Reply id = ask(camera, command(0));
    ASSERT_EQ(id.result, 32 + 8);
    EXPECT_EQ(Bytes(id.bytes.begin(), id.bytes.begin() + 4), (Bytes{'a', 'n', 's', 0}));
    EXPECT_EQ(le32(id.bytes, 4), 8u);
    EXPECT_EQ(Bytes(id.bytes.begin() + 32, id.bytes.end()), text("TC-480-B"));

    const Reply language = ask(camera, command(1));
    ASSERT_EQ(language.result, 33);
    EXPECT_EQ(language.bytes[3], 1);
    EXPECT_EQ(language.bytes[32], 0);

    // Every read is recorded with what it asked for.
    ASSERT_EQ(camera.reads().size(), 2u);
    EXPECT_EQ(camera.reads()[1].maxLength, 32768);
    EXPECT_EQ(camera.reads()[1].timeoutMs, 2000);
    EXPECT_EQ(camera.reads()[1].result, 33);
}

TEST(SimulatedCameraTest, AssemblesAnImageOnlyWhenComplete) {
    SimulatedCamera camera;
    const Bytes header(64, 0x11);
    const Bytes full(16384, 0x22);  // every chunk but the last is this long
    const auto status = [&](const Bytes& request) {
        const Reply r = ask(camera, request);
        return r.result == 33 ? r.bytes[32] : -1;
    };
    EXPECT_EQ(status(command(2, header)), 0);
    EXPECT_EQ(status(command(3)), 0);
    EXPECT_EQ(status(command(4, {3, 4}, 1)), 0);  // out of order: sequence decides
    EXPECT_EQ(status(command(4, full, 0)), 0);
    EXPECT_EQ(status(command(5, {}, 1)), 0);
    Bytes expected = header;
    expected.insert(expected.end(), full.begin(), full.end());
    expected.insert(expected.end(), {3, 4});
    ASSERT_EQ(camera.images().size(), 1u);
    EXPECT_EQ(camera.images()[0], expected);
    EXPECT_EQ(camera.commands().size(), 5u);

    // Refused: a missing chunk (whatever the last sequence says), a short chunk before the
    // last, a chunk before command 3, a short first message.
    for (const uint32_t last : {1u, 2u}) {
        EXPECT_EQ(status(command(2, header)), 0);
        EXPECT_EQ(status(command(3)), 0);
        EXPECT_EQ(status(command(4, full, 0)), 0);
        EXPECT_EQ(status(command(4, {1}, 2)), 0);
        EXPECT_EQ(status(command(5, {}, last)), 1);
    }
    EXPECT_EQ(status(command(2, header)), 0);
    EXPECT_EQ(status(command(3)), 0);
    EXPECT_EQ(status(command(4, {1}, 0)), 0);
    EXPECT_EQ(status(command(4, {1}, 1)), 0);
    EXPECT_EQ(status(command(5, {}, 1)), 1);
    EXPECT_EQ(status(command(2, header)), 0);
    EXPECT_EQ(status(command(4, {1}, 0)), 1);
    EXPECT_EQ(status(command(2, Bytes(63, 0))), 1);
    EXPECT_EQ(camera.images().size(), 1u);
}

// A chunk refused some times and then taken makes a whole image; one refused every time is
// missing, even when command 5 names only the chunk before it.
TEST(SimulatedCameraTest, RefusesAChunkTheArmedNumberOfTimes) {
    const struct {
        int refusals;
        bool refuseEnd;
        uint32_t endSequence;
        uint8_t endStatus;
    } cases[] = {{2, false, 1, 0}, {2, true, 1, 1}, {5, false, 1, 1}, {5, false, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusals * 100 + c.refuseEnd * 10 + static_cast<int>(c.endSequence));
        SimulatedCamera camera;
        camera.misbehave(Fault{M::kBadStatus, Kind::kExchange, 4, 1, 0, c.refusals});
        if (c.refuseEnd) {
            camera.misbehave(Fault{M::kBadStatus, Kind::kExchange, 5});
        }
        ask(camera, command(2, Bytes(64, 0)));
        ask(camera, command(3));
        EXPECT_EQ(ask(camera, command(4, Bytes(16384, 7), 0)).bytes.at(32), 0);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(ask(camera, command(4, {8}, 1)).bytes.at(32), i < c.refusals ? 1 : 0);
        }
        EXPECT_EQ(ask(camera, command(5, {}, c.endSequence)).bytes.at(32), c.endStatus);
        // An image refused at command 5 is not listed.
        ASSERT_EQ(camera.images().size(), c.endStatus == 0 ? 1u : 0u);
        if (c.endStatus == 0) {
            EXPECT_EQ(camera.images()[0].size(), 64u + 16384u + 1u);
        }
    }
}

TEST(SimulatedCameraTest, RawUpdateRecordsTargetSizeAndData) {
    SimulatedCamera camera;
    const Bytes size = {'f', 'i', 'l', 'e', 's', 'i', 'z', 'e', 5, 0, 0, 0};
    for (const Bytes& message :
         {text("UPDATE-FPGA-START"), size, text("ab"), text("cde"), text("UPDATE-FPGA-END")}) {
        EXPECT_EQ(ask(camera, message).bytes, Bytes{0});
    }
    ASSERT_EQ(camera.rawUpdates().size(), 1u);
    const SimulatedCamera::RawUpdate& update = camera.rawUpdates()[0];
    EXPECT_EQ(update.target, 1);
    EXPECT_EQ(update.declaredSize, 5u);
    EXPECT_EQ(update.data, text("abcde"));
    EXPECT_EQ(update.chunks, 2);
    EXPECT_TRUE(update.ended);
    EXPECT_TRUE(update.complete);
    EXPECT_EQ(camera.received().size(), 5u);

    // Fewer bytes than declared, or no size at all: the end message is answered 1.
    for (const std::vector<Bytes>& messages :
         {std::vector<Bytes>{text("UPDATE-CAM0-START"), size, text("abcd")},
          std::vector<Bytes>{text("UPDATE-CAM0-START"), text("abcde")}}) {
        for (const Bytes& message : messages) {
            ask(camera, message);
        }
        EXPECT_EQ(ask(camera, text("UPDATE-CAM0-END")).bytes, Bytes{1});
        EXPECT_TRUE(camera.rawUpdates().back().ended);
        EXPECT_FALSE(camera.rawUpdates().back().complete);
    }
}

TEST(SimulatedCameraTest, FramedRepliesCarryStatusEchoAndValidCrcs) {
    SimulatedCamera camera;
    // Status 0 and the echoed payload make the reply the same bytes as the request.
    EXPECT_EQ(ask(camera, kFrame, 2).bytes, kFrame);
    ASSERT_EQ(camera.framedRequests().size(), 1u);
    EXPECT_TRUE(camera.framedRequests()[0].crcOk);
    EXPECT_EQ(camera.framedRequests()[0].payload, (Bytes{0x10, 0x20}));

    camera.options().framedStatus = 3;
    camera.options().framedReplies[0x01] = {9, 8, 7};
    const Reply reply = ask(camera, kFrame, 2);
    ASSERT_EQ(reply.result, 13);
    EXPECT_EQ(reply.bytes[1], 3);
    EXPECT_EQ(reply.bytes[3], 0x01);
    EXPECT_EQ(Bytes(reply.bytes.begin() + 8, reply.bytes.end() - 2), (Bytes{9, 8, 7}));
    EXPECT_TRUE(framedCrcsVerify(reply.bytes));

    Bytes broken = kFrame;
    broken.back() ^= 1;
    EXPECT_EQ(ask(camera, broken, 2).result, -1);
    EXPECT_FALSE(camera.framedRequests().back().crcOk);
}

TEST(SimulatedCameraTest, EachMisbehaviourChangesTheReply) {
    struct Case {
        const char* name;
        Fault fault;
        Bytes request;
        unsigned char channel;
        int result;     // of the first read
        size_t at;      // a reply byte to look at, when result > at
        uint8_t value;  // its expected value
    };
    const Bytes header(64, 0);
    const Case cases[] = {
        {"no reply", {M::kNoReply}, command(0), 1, -1, 0, 0},
        {"unplug", {M::kUnplug}, command(0), 1, -1, 0, 0},
        {"short", {M::kShortReply}, command(0), 1, 16, 3, 0},
        {"short framed", {M::kShortReply}, kFrame, 2, 4, 3, 0x01},
        {"short raw", {M::kShortReply}, text("UPDATE-CAM0-START"), 1, 0, 0, 0},
        {"oversized", {M::kOversizedReply}, command(0), 1, 40, 5, 2000 >> 8},
        {"oversized framed", {M::kOversizedReply}, kFrame, 2, 12, 4, 32760 >> 8},
        {"wrong echo", {M::kWrongEcho}, command(0), 1, 40, 3, 1},
        {"wrong echo framed", {M::kWrongEcho}, kFrame, 2, 12, 3, 0x02},
        {"bad status", {M::kBadStatus, Kind::kExchange, 2}, command(2, header), 1, 33, 32, 1},
        {"bad status framed", {M::kBadStatus}, kFrame, 2, 12, 1, 1},
        {"empty payload", {M::kEmptyPayload}, command(1), 1, 32, 4, 0},
        {"split", {M::kSplitReply, Kind::kAny, -1, -1, 0, 1, 5}, kFrame, 2, 5, 4, 0},
        {"late", {M::kSlowReply, Kind::kAny, -1, -1, 0, 1, 60000}, command(0), 1, -1, 0, 0},
        {"in time", {M::kSlowReply, Kind::kAny, -1, -1, 0, 1, 10}, command(0), 1, 40, 3, 0},
        {"other code", {M::kNoReply, Kind::kExchange, 1}, command(0), 1, 40, 3, 0},
        {"skipped", {M::kNoReply, Kind::kAny, -1, -1, 1}, command(0), 1, 40, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedCamera camera;
        camera.misbehave(c.fault);
        const auto start = std::chrono::steady_clock::now();
        const Reply first = ask(camera, c.request, c.channel);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(first.result, c.result);
        if (c.result > static_cast<int>(c.at)) {
            EXPECT_EQ(first.bytes[c.at], c.value);
        }
        // Faults are spent (a skipping one hits now): the same request again. The split reply's
        // rest comes first; an unplugged camera stays gone.
        if (c.fault.what == M::kUnplug) {
            EXPECT_EQ(ask(camera, c.request, c.channel).result, -1);
        } else if (c.fault.what == M::kSplitReply) {
            EXPECT_EQ(read(camera, c.channel).result, 7);
        } else {
            EXPECT_EQ(ask(camera, c.request, c.channel).result >= 1, c.fault.skip == 0);
        }
    }
}

TEST(SimulatedCameraTest, FailedWriteIsNotReceived) {
    SimulatedCamera camera;
    camera.misbehave({M::kWriteFails});
    const Bytes request = command(0);
    EXPECT_EQ(camera.writeData(request.data(), 32, 2000, 1), -1);
    EXPECT_TRUE(camera.received().empty());
    EXPECT_EQ(read(camera, 1).result, -1);
}

TEST(SimulatedCameraTest, BootModeEndsAfterTheArmedLoads) {
    for (const int after : {1, 2, -1}) {
        SCOPED_TRACE(after);
        SimulatedCamera::Options options;
        options.bootMode = true;
        options.bootModeAfterLoad = after;
        SimulatedCamera camera(options);
        EXPECT_EQ(camera.isBootMode(), 1);
        EXPECT_EQ(ask(camera, text("UPDATE-USB3-START")).result, -1);  // boot loader
        for (int load = 1; load <= 2; ++load) {
            EXPECT_EQ(camera.loadBootProgrammer("boot.img"), 1);
            EXPECT_EQ(camera.isBootMode(), after < 0 || load < after ? 1 : 0);
        }
        EXPECT_EQ(camera.bootLoads(), (std::vector<std::string>{"boot.img", "boot.img"}));
    }
}

TEST(LibusbTransportTest, WithoutTheCameraOpenFailsWithOneLineReason) {
    EXPECT_TRUE(LibusbTransport::ListCandidates(0xffff, 0xfffe).empty());
    LibusbTransport transport(0xffff, 0xfffe);
    EXPECT_FALSE(transport.open());
    EXPECT_EQ(transport.reason().rfind("no camera ffff:fffe", 0), 0u) << transport.reason();
    EXPECT_EQ(transport.reason().find('\n'), std::string::npos);
    unsigned char byte = 0;
    EXPECT_EQ(transport.writeData(&byte, 1, 100, 1), -1);
    EXPECT_EQ(transport.readData(&byte, 1, 100, 2), -1);
    EXPECT_EQ(transport.maxPacketSize(1), 0);
    EXPECT_EQ(transport.isBootMode(), 0);
    EXPECT_EQ(transport.loadBootProgrammer("boot.img"), 0);
}

}  // namespace
