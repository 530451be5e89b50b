#include "upgrade/CameraModel.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kHeaderSize = 32;
constexpr size_t kImageHeaderSize = 64;
constexpr size_t kChunkSize = 16384;
constexpr uint8_t kFrameMarker = 0x6E;
constexpr const char* kStartMessages[] = {"UPDATE-USB3-START", "UPDATE-FPGA-START",
                                          "UPDATE-CAM0-START"};
constexpr const char* kEndMessages[] = {"UPDATE-USB3-END", "UPDATE-FPGA-END", "UPDATE-CAM0-END"};
constexpr char kSizeMessage[] = "filesize";

bool isText(const std::vector<uint8_t>& bytes, const char* text) {
    const size_t length = std::strlen(text);
    return bytes.size() == length && std::memcmp(bytes.data(), text, length) == 0;
}

bool isSizeMessage(const std::vector<uint8_t>& bytes) {
    return bytes.size() == 12 && std::memcmp(bytes.data(), kSizeMessage, 8) == 0;
}

int textIndex(const std::vector<uint8_t>& bytes, const char* const (&texts)[3]) {
    for (int i = 0; i < 3; ++i) {
        if (isText(bytes, texts[i])) {
            return i;
        }
    }
    return -1;
}

uint32_t readLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void putLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void putBe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

uint16_t readBe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

// The faults that hit one message, merged.
struct CameraModel::Hits {
    bool writeFails = false;
    bool unplug = false;
    bool noReply = false;
    bool shortReply = false;
    bool wrongEcho = false;
    bool badStatus = false;
    bool emptyPayload = false;
    std::optional<int> oversized;  // claimed length, 0 for the default
    int delayMs = 0;
    size_t firstReadLimit = 0;
};

CameraModel::CameraModel(Options options) : m_options(std::move(options)) {}

bool CameraModel::inBootMode() const {
    const bool loaded = m_options.bootModeAfterLoad >= 0 && m_loads >= m_options.bootModeAfterLoad;
    return m_options.bootMode && !loaded;
}

bool CameraModel::loadBootProgrammer(const std::string& what) {
    m_bootLoads.push_back(what);
    if (!m_options.loadSucceeds) {
        return false;
    }
    ++m_loads;
    return true;
}

uint16_t CameraModel::FrameCrc(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>(crc << 1 ^ 0x1021)
                                      : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

CameraModel::Hits CameraModel::faultsFor(Kind kind, int code, int sequence) {
    Hits hits;
    for (Armed& armed : m_faults) {
        const Fault& f = armed.fault;
        const bool matches = (f.kind == Kind::kAny || f.kind == kind) &&
                             (f.code < 0 || f.code == code) &&
                             (f.sequence < 0 || f.sequence == sequence);
        if (!matches || armed.count == 0) {
            continue;
        }
        if (armed.skip > 0) {
            --armed.skip;
            continue;
        }
        if (armed.count > 0) {
            --armed.count;
        }
        switch (f.what) {
            case Misbehaviour::kNoReply:
                hits.noReply = true;
                break;
            case Misbehaviour::kShortReply:
                hits.shortReply = true;
                break;
            case Misbehaviour::kOversizedReply:
                hits.oversized = f.value;
                break;
            case Misbehaviour::kWrongEcho:
                hits.wrongEcho = true;
                break;
            case Misbehaviour::kBadStatus:
                hits.badStatus = true;
                break;
            case Misbehaviour::kEmptyPayload:
                hits.emptyPayload = true;
                break;
            case Misbehaviour::kSlowReply:
                hits.delayMs = f.value;
                break;
            case Misbehaviour::kSplitReply:
                hits.firstReadLimit = f.value > 0 ? static_cast<size_t>(f.value) : 4;
                break;
            case Misbehaviour::kWriteFails:
                hits.writeFails = true;
                break;
            case Misbehaviour::kUnplug:
                hits.unplug = true;
                break;
        }
    }
    return hits;
}

std::optional<CameraModel::Reply> CameraModel::receive(unsigned char channel, int timeoutMs,
                                                       std::vector<uint8_t> bytes) {
    // Classify first: the faults armed for this kind of message decide whether it arrives.
    Kind kind = Kind::kAny;
    int code = -1;
    int sequence = -1;
    if (channel == 1) {
        if (textIndex(bytes, kStartMessages) >= 0) {
            kind = Kind::kRawUpdate;
            code = kRawStart;
        } else if (textIndex(bytes, kEndMessages) >= 0 &&
                   (!m_rawOpen || textIndex(bytes, kEndMessages) == m_rawUpdates.back().target)) {
            kind = Kind::kRawUpdate;
            code = kRawEnd;
        } else if (isSizeMessage(bytes) &&
                   (!m_rawOpen || !m_rawUpdates.back().declaredSize.has_value())) {
            kind = Kind::kRawUpdate;
            code = kRawSize;
        } else if (m_rawOpen) {
            kind = Kind::kRawUpdate;
            code = kRawData;
            sequence = m_rawUpdates.back().chunks;
        } else if (bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), "cmd", 3) == 0) {
            kind = Kind::kExchange;
            code = bytes[3];
            sequence = static_cast<int>(readLe32(&bytes[8]));
        }
    } else if (channel == 2) {
        kind = Kind::kFramed;
        code = bytes.size() >= 4 ? bytes[3] : -1;
    }
    const Hits hits = faultsFor(kind, code, sequence);
    if (hits.writeFails) {
        return std::nullopt;
    }
    m_received.push_back(Message{channel, timeoutMs, bytes});

    Reply reply;
    if (!inBootMode()) {
        if (kind == Kind::kExchange) {
            Command command{
                bytes[3], readLe32(&bytes[8]), {bytes.begin() + kHeaderSize, bytes.end()}};
            m_commands.push_back(command);
            reply.bytes = answerExchange(command, hits);
        } else if (kind == Kind::kRawUpdate) {
            reply.bytes = answerRaw(bytes, hits);
        } else if (kind == Kind::kFramed) {
            reply.bytes = answerFramed(bytes, hits);
        }
    }
    if (hits.noReply || hits.unplug) {
        reply.bytes.reset();
    }
    reply.unplug = hits.unplug;
    reply.delayMs = hits.delayMs;
    reply.firstReadLimit = hits.firstReadLimit;
    return reply;
}

std::vector<uint8_t> CameraModel::answerExchange(const Command& command, const Hits& hits) {
    const uint32_t declared = readLe32(&m_received.back().bytes[4]);
    const bool wellFormed = declared == command.payload.size();

    std::vector<uint8_t> payload;
    if (!wellFormed || command.code > 5) {
        payload = {1};
    } else if (command.code == 0) {
        payload.assign(m_options.hardwareId.begin(), m_options.hardwareId.end());
    } else if (command.code == 1) {
        payload = {m_options.language};
    } else {
        uint8_t status = 1;
        if (command.code == 2) {
            // A new transfer starts, whatever happened to the previous one.
            m_imageHeader.reset();
            m_imageBegun = false;
            m_chunks.clear();
            m_highestArrived.reset();
            if (command.payload.size() == kImageHeaderSize && !hits.badStatus) {
                m_imageHeader = command.payload;
                status = 0;
            }
        } else if (command.code == 3) {
            m_imageBegun = m_imageHeader.has_value() && !hits.badStatus;
            status = m_imageBegun ? 0 : 1;
        } else if (command.code == 4) {
            // A refused chunk is not kept: the client has to send it again. Its number still
            // tells how far the image reaches.
            if (m_imageBegun) {
                m_highestArrived = std::max(m_highestArrived.value_or(0), command.sequence);
            }
            if (m_imageBegun && !command.payload.empty() && !hits.badStatus) {
                m_chunks[command.sequence] = command.payload;
                status = 0;
            }
        } else {
            status = finishImage(command.sequence);
            if (hits.badStatus && status == 0) {
                m_images.pop_back();
                status = 1;
            }
        }
        payload = {status};
    }
    if (hits.emptyPayload) {
        payload.clear();
    }

    std::vector<uint8_t> answer(kHeaderSize, 0xA5);  // bytes 8 to 31 are not read: not zero
    std::memcpy(answer.data(), "ans", 3);
    answer[3] = static_cast<uint8_t>(command.code + (hits.wrongEcho ? 1 : 0));
    uint32_t claimed = static_cast<uint32_t>(payload.size());
    if (hits.oversized) {
        claimed = *hits.oversized > 0 ? static_cast<uint32_t>(*hits.oversized) : 2000;
    }
    putLe32(&answer[4], claimed);
    answer.insert(answer.end(), payload.begin(), payload.end());
    if (hits.shortReply) {
        answer.resize(16);
    }
    return answer;
}

uint8_t CameraModel::finishImage(uint32_t lastSequence) {
    // What the camera knows of the image: every chunk number that arrived, and the chunk size.
    const uint32_t last = std::max(lastSequence, m_highestArrived.value_or(0));
    bool complete = m_imageHeader.has_value() && m_imageBegun &&
                    m_chunks.size() == size_t{last} + 1 && m_chunks.rbegin()->first == last;
    for (const auto& [sequence, chunk] : m_chunks) {
        complete = complete &&
                   (sequence == last ? chunk.size() <= kChunkSize : chunk.size() == kChunkSize);
    }
    if (complete) {
        std::vector<uint8_t> image = *m_imageHeader;
        for (const auto& [sequence, chunk] : m_chunks) {
            image.insert(image.end(), chunk.begin(), chunk.end());
        }
        m_images.push_back(std::move(image));
    }
    m_imageHeader.reset();
    m_imageBegun = false;
    m_chunks.clear();
    m_highestArrived.reset();
    return complete ? 0 : 1;
}

std::vector<uint8_t> CameraModel::answerRaw(const std::vector<uint8_t>& bytes, const Hits& hits) {
    const int start = textIndex(bytes, kStartMessages);
    bool refused = hits.badStatus;
    if (start >= 0) {
        m_rawUpdates.emplace_back().target = start;
        m_rawOpen = true;
    } else if (m_rawOpen) {
        RawUpdate& update = m_rawUpdates.back();
        if (textIndex(bytes, kEndMessages) == update.target) {
            update.ended = true;
            update.complete =
                update.declaredSize.has_value() && update.data.size() >= *update.declaredSize;
            refused = refused || !update.complete;
            m_rawOpen = false;
        } else if (isSizeMessage(bytes) && !update.declaredSize) {
            update.declaredSize = readLe32(&bytes[8]);
        } else {
            update.data.insert(update.data.end(), bytes.begin(), bytes.end());
            ++update.chunks;
        }
    }
    // Any reply acknowledges; its content is never looked at.
    std::vector<uint8_t> reply{static_cast<uint8_t>(refused ? 1 : 0)};
    if (hits.shortReply) {
        reply.clear();
    }
    return reply;
}

std::optional<std::vector<uint8_t>> CameraModel::answerFramed(const std::vector<uint8_t>& bytes,
                                                              const Hits& hits) {
    FramedRequest request;
    bool ok = bytes.size() >= 10 && bytes[0] == kFrameMarker && bytes[1] == 0 && bytes[2] == 0;
    const size_t n = ok ? readBe16(&bytes[4]) : 0;
    ok = ok && bytes.size() == n + 10 && readBe16(&bytes[6]) == FrameCrc(bytes.data(), 6) &&
         readBe16(&bytes[8 + n]) == FrameCrc(bytes.data(), 8 + n);
    request.crcOk = ok;
    if (bytes.size() >= 4) {
        request.funCode = bytes[3];
    }
    if (ok) {
        request.payload.assign(bytes.begin() + 8, bytes.begin() + 8 + static_cast<long>(n));
    }
    m_framedRequests.push_back(request);
    if (!ok) {
        return std::nullopt;
    }

    const auto configured = m_options.framedReplies.find(request.funCode);
    std::vector<uint8_t> payload =
        configured != m_options.framedReplies.end() ? configured->second : request.payload;
    if (hits.emptyPayload) {
        payload.clear();
    }
    std::vector<uint8_t> reply(8, 0);
    reply[0] = kFrameMarker;
    reply[1] = hits.badStatus ? 1 : m_options.framedStatus;
    reply[3] = static_cast<uint8_t>(request.funCode + (hits.wrongEcho ? 1 : 0));
    uint16_t claimed = static_cast<uint16_t>(payload.size());
    if (hits.oversized) {
        claimed = static_cast<uint16_t>(*hits.oversized > 0 ? *hits.oversized : 32760);
    }
    putBe16(&reply[4], claimed);
    putBe16(&reply[6], FrameCrc(reply.data(), 6));
    reply.insert(reply.end(), payload.begin(), payload.end());
    const uint16_t crc = FrameCrc(reply.data(), reply.size());
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    reply.push_back(static_cast<uint8_t>(crc));
    if (hits.shortReply) {
        reply.resize(4);
    }
    return reply;
}
