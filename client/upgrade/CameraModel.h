// The camera's side of the upgrade protocol, in software: it takes whole messages as the camera
// receives them (image-transfer exchange and raw update on channel 1, framed commands on channel
// 2) and says what the camera answers, keeps every byte it was sent so that tests can compare,
// and misbehaves when asked to. It knows nothing of how the messages travel: SimulatedCamera
// hands them over in process, the tests' emulated USB camera through libusb and usbdevfs.
//
// Threads: not locked; whoever reaches it from several threads holds one lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class CameraModel {
public:
    struct Options {
        std::string hardwareId = "TC-480-A";  // answer to command 0 (sent without terminator)
        uint8_t language = 1;                 // answer to command 1 (1: Chinese)
        bool bootMode = false;                // starts in its boot loader
        int bootModeAfterLoad = 1;            // successful loads that end boot mode; -1: never
        bool loadSucceeds = true;             // whether a boot programmer load takes
        uint16_t packetSize1 = 32768;         // maxPacketSize(1) of the in-process transport
        uint16_t packetSize2 = 32768;         // maxPacketSize(2) of the in-process transport
        uint8_t framedStatus = 0;             // status byte of every framed reply
        // Framed reply payload by function code; a code not listed gets its request's payload
        // echoed.
        std::map<uint8_t, std::vector<uint8_t>> framedReplies;
    };

    // What a fault does to the exchange it hits.
    enum class Misbehaviour {
        kNoReply,         // no reply at all: the read waits out its time-out
        kShortReply,      // exchange: 16 bytes of header; framed: the first 4 bytes and nothing
                          // more; raw update: an empty reply (a zero-length packet)
        kOversizedReply,  // the payload length field claims `value` bytes (default: exchange
                          // 2000, more than the caller's 1024; framed 32760, more than its
                          // 32768-byte buffer) while only the real payload is sent
        kWrongEcho,       // the echoed command or function code is one higher; status 0
        kBadStatus,       // status 1 (exchange codes 2 to 5, framed); raw update: reply byte 1
        kEmptyPayload,    // payload length 0, no payload (exchange and framed)
        kSlowReply,       // the reply comes `value` ms after the message
        kSplitReply,      // the first read gets only `value` bytes (default 4), the next the rest
        kWriteFails,      // the message does not arrive: the write fails, nothing is recorded
        kUnplug,          // the message arrives, then the camera goes away instead of answering
    };

    // Which messages a fault considers.
    enum class Kind { kAny, kExchange, kRawUpdate, kFramed };
    // Codes of the raw update's steps, for Fault::code with Kind::kRawUpdate.
    static constexpr int kRawStart = 0;
    static constexpr int kRawSize = 1;
    static constexpr int kRawData = 2;
    static constexpr int kRawEnd = 3;

    // A misbehaviour armed for matching messages: the first `skip` matches pass untouched, the
    // `count` after them (-1: all) are hit. Several faults may hit the same message.
    struct Fault {
        Fault(Misbehaviour what, Kind kind = Kind::kAny, int code = -1, int sequence = -1,
              int skip = 0, int count = 1, int value = 0)
            : what(what),
              kind(kind),
              code(code),
              sequence(sequence),
              skip(skip),
              count(count),
              value(value) {}

        Misbehaviour what;
        Kind kind;
        int code;      // exchange: command code; raw: kRaw*; framed: function code; -1 any
        int sequence;  // exchange command 4: chunk sequence; raw data: index of the data
                       // message in its update (resends count); -1 any
        int skip;
        int count;
        int value;  // see Misbehaviour
    };

    // One message that arrived.
    struct Message {
        unsigned char channel = 0;
        int timeoutMs = 0;  // the writer's, where the way in knows it (else 0)
        std::vector<uint8_t> bytes;
    };
    // One image-transfer request (channel 1).
    struct Command {
        uint8_t code = 0;
        uint32_t sequence = 0;
        std::vector<uint8_t> payload;
    };
    // One raw update, from its start message on.
    struct RawUpdate {
        int target = 0;                        // 0 USB3, 1 FPGA, 2 CAM0
        std::optional<uint32_t> declaredSize;  // from the size message
        std::vector<uint8_t> data;             // the data messages, concatenated: a
                                               // chunk sent twice is there twice
        int chunks = 0;
        bool ended = false;     // its end message arrived
        bool complete = false;  // ...after at least declaredSize data bytes: end reply 0, else 1
    };
    // One framed request (channel 2).
    struct FramedRequest {
        uint8_t funCode = 0;
        std::vector<uint8_t> payload;
        bool crcOk = false;  // marker, length and both CRCs right; a bad frame gets no reply
    };
    // What the camera does after a message.
    struct Reply {
        std::optional<std::vector<uint8_t>> bytes;  // none: no reply
        size_t firstReadLimit = 0;                  // kSplitReply: bytes in the first read
        int delayMs = 0;                            // kSlowReply
        bool unplug = false;                        // kUnplug: gone instead of answering
    };

    CameraModel() : CameraModel(Options{}) {}
    explicit CameraModel(Options options);

    Options& options() { return m_options; }
    const Options& options() const { return m_options; }
    void misbehave(const Fault& fault) {
        m_faults.push_back(Armed{fault, fault.skip, fault.count});
    }

    // One whole message on `channel`. None when it does not arrive (kWriteFails). While in
    // boot mode every message is recorded and none is answered.
    std::optional<Reply> receive(unsigned char channel, int timeoutMs, std::vector<uint8_t> bytes);
    // True while the camera runs its boot loader.
    bool inBootMode() const;
    // The boot loader got a boot programmer (`what`: its path or a description); whether it
    // took (Options::loadSucceeds).
    bool loadBootProgrammer(const std::string& what);

    const std::vector<Message>& received() const { return m_received; }
    const std::vector<Command>& commands() const { return m_commands; }
    const std::vector<RawUpdate>& rawUpdates() const { return m_rawUpdates; }
    const std::vector<FramedRequest>& framedRequests() const { return m_framedRequests; }
    // Images the camera accepted at command 5: the 64 bytes of command 2, then the chunks of
    // command 4 in sequence order. A transfer that was incomplete at command 5 is answered with
    // status 1 and not listed: a chunk missing up to the higher of command 5's sequence number
    // and the highest chunk number that arrived (refused ones too), or a chunk before the last
    // that is not 16384 bytes (the last: 1 to 16384).
    const std::vector<std::vector<uint8_t>>& images() const { return m_images; }
    const std::vector<std::string>& bootLoads() const { return m_bootLoads; }

    // CRC-16/XMODEM as the framed commands use it (check value 0x31C3 for "123456789").
    static uint16_t FrameCrc(const uint8_t* data, size_t length);

private:
    struct Armed {
        Fault fault;
        int skip;
        int count;
    };
    struct Hits;

    Hits faultsFor(Kind kind, int code, int sequence);
    std::vector<uint8_t> answerExchange(const Command& command, const Hits& hits);
    std::vector<uint8_t> answerRaw(const std::vector<uint8_t>& bytes, const Hits& hits);
    std::optional<std::vector<uint8_t>> answerFramed(const std::vector<uint8_t>& bytes,
                                                     const Hits& hits);
    uint8_t finishImage(uint32_t lastSequence);

    Options m_options;
    std::vector<Armed> m_faults;
    int m_loads = 0;

    std::vector<Message> m_received;
    std::vector<Command> m_commands;
    std::vector<RawUpdate> m_rawUpdates;
    std::vector<FramedRequest> m_framedRequests;
    std::vector<std::vector<uint8_t>> m_images;
    std::vector<std::string> m_bootLoads;

    // The image transfer under way: command 2's bytes and the chunks by sequence.
    std::optional<std::vector<uint8_t>> m_imageHeader;
    bool m_imageBegun = false;
    std::map<uint32_t, std::vector<uint8_t>> m_chunks;
    std::optional<uint32_t> m_highestArrived;  // chunk number, kept or refused
    bool m_rawOpen = false;                    // between a raw start and end message
};
