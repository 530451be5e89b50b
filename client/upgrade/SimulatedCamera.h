// A camera in software for the upgrade protocol: it plays the camera's side of the three message
// formats (image-transfer exchange and raw update on channel 1, framed commands on channel 2),
// keeps every byte it was sent so that tests can compare, and misbehaves when asked to.
//
// It works as a reply queue: each writeData parses the request and queues the camera's reply
// (or a "no reply"); each readData hands out the front of the queue. Nothing waits for real:
// a reply that would come too late makes readData fail at once, having recorded the time-out
// it was given.
//
// Threads: one thread at a time, like the upgrade that drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/UpgradeTransport.h"

class SimulatedCamera : public UpgradeTransport {
public:
    struct Options {
        std::string hardwareId = "TC-480-A";  // answer to command 0 (sent without terminator)
        uint8_t language = 1;                 // answer to command 1 (1: Chinese)
        bool bootMode = false;                // starts in its boot loader
        int bootModeAfterLoad = 1;            // successful loads that end boot mode; -1: never
        bool loadSucceeds = true;             // what loadBootProgrammer reports
        uint16_t packetSize1 = 32768;         // maxPacketSize(1)
        uint16_t packetSize2 = 32768;         // maxPacketSize(2)
        uint8_t framedStatus = 0;             // status byte of every framed reply
        // Framed reply payload by function code; a code not listed gets its request's payload
        // echoed.
        std::map<uint8_t, std::vector<uint8_t>> framedReplies;
    };

    // What a fault does to the exchange it hits.
    enum class Misbehaviour {
        kNoReply,         // readData fails (-1) at once
        kShortReply,      // exchange: 16 bytes of header; framed: the first 4 bytes and nothing
                          // more; raw update: an empty reply (readData gives 0)
        kOversizedReply,  // the payload length field claims `value` bytes (default: exchange
                          // 2000, more than the caller's 1024; framed 32760, more than its
                          // 32768-byte buffer) while only the real payload is sent
        kWrongEcho,       // the echoed command or function code is one higher; status 0
        kBadStatus,       // status 1 (exchange codes 2 to 5, framed); raw update: reply byte 1
        kEmptyPayload,    // payload length 0, no payload (exchange and framed)
        kSlowReply,       // the reply takes `value` ms: readData sleeps that long when it is
                          // within its time-out, and fails at once without sleeping otherwise
        kSplitReply,      // the first read gets only `value` bytes (default 4), the next the rest
        kWriteFails,      // writeData fails (-1); nothing is received, nothing is queued
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

    // One writeData call.
    struct Message {
        unsigned char channel = 0;
        int timeoutMs = 0;
        std::vector<uint8_t> bytes;
    };
    // One readData call; result is what it returned.
    struct Read {
        unsigned char channel = 0;
        int maxLength = 0;
        int timeoutMs = 0;
        int result = 0;
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

    SimulatedCamera() : SimulatedCamera(Options{}) {}
    explicit SimulatedCamera(Options options);

    Options& options() { return m_options; }
    void misbehave(const Fault& fault) {
        m_faults.push_back(Armed{fault, fault.skip, fault.count});
    }

    const std::vector<Message>& received() const { return m_received; }
    const std::vector<Read>& reads() const { return m_reads; }
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

    // UpgradeTransport. While in boot mode every message is recorded and none is answered.
    int writeData(const unsigned char* buffer, int length, int timeoutMs,
                  unsigned char channel) override;
    int readData(unsigned char* buffer, int maxLength, int timeoutMs,
                 unsigned char channel) override;
    uint16_t maxPacketSize(int endpoint) override;
    int isBootMode() override;
    int loadBootProgrammer(const char* pathUtf8) override;

private:
    struct Armed {
        Fault fault;
        int skip;
        int count;
    };
    struct Reply {
        unsigned char channel = 0;
        std::optional<std::vector<uint8_t>> bytes;  // none: no reply
        size_t firstReadLimit = 0;                  // kSplitReply: bytes in the first read
        int delayMs = 0;
    };
    struct Hits;

    Hits faultsFor(Kind kind, int code, int sequence);
    Reply answerExchange(const Command& command, const Hits& hits);
    Reply answerRaw(const std::vector<uint8_t>& bytes, const Hits& hits);
    Reply answerFramed(const std::vector<uint8_t>& bytes, const Hits& hits);
    uint8_t finishImage(uint32_t lastSequence);

    Options m_options;
    std::vector<Armed> m_faults;
    std::deque<Reply> m_replies;
    int m_loads = 0;

    std::vector<Message> m_received;
    std::vector<Read> m_reads;
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
