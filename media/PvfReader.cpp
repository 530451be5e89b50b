#include "media/PvfReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/PvfFormat.h"

namespace Media {

namespace {

constexpr size_t kScanChunk = 64 * 1024;

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

// 0 when all `size` bytes were read, else the errno (0 never; EIO-like for an early end).
int ReadFully(int fd, int64_t offset, void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes + done, size - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return ENODATA;  // shorter than it was at Open()
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

std::string Reason(int error) {
    return error == ENODATA ? "file shrank while reading" : std::strerror(error);
}

std::string Printable(const uint8_t* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += (bytes[i] >= 0x20 && bytes[i] < 0x7f) ? static_cast<char>(bytes[i]) : '?';
    }
    return text;
}

// Checks the header of the open file; an empty string when it is a PVF file this reader reads.
std::string CheckHeader(int fd, int64_t fileSize, int64_t* headerSize, int64_t* creationTime) {
    uint8_t header[Pvf::kMaxHeaderSize];
    const size_t start = std::min<int64_t>(fileSize, Pvf::kHeaderSizeOffset + 2);
    if (const int error = ReadFully(fd, 0, header, start); error != 0) {
        return "cannot read: " + Reason(error);
    }
    if (fileSize == 0) {
        return "empty file, no PVF header";
    }
    if (start < sizeof Pvf::kMagic || std::memcmp(header, Pvf::kMagic, sizeof Pvf::kMagic) != 0) {
        return "not a PVF file";
    }
    if (start < Pvf::kHeaderSizeOffset + 2) {
        return "damaged header (file too short)";
    }
    const uint16_t version = Pvf::LoadLe16(header + Pvf::kVersionOffset);
    if (version != Pvf::kVersion) {
        return "unsupported PVF version " + std::to_string(version);
    }
    const size_t size = Pvf::LoadLe16(header + Pvf::kHeaderSizeOffset);
    if (size < Pvf::kHeaderSize || size > Pvf::kMaxHeaderSize) {
        return "damaged header (header size " + std::to_string(size) + ")";
    }
    if (fileSize < static_cast<int64_t>(size)) {
        return "damaged header (file too short)";
    }
    if (const int error = ReadFully(fd, 0, header, size); error != 0) {
        return "cannot read: " + Reason(error);
    }
    if (Crc32(0, header, size - 4) != Pvf::LoadLe32(header + size - 4)) {
        return "damaged header (checksum mismatch)";
    }
    const uint8_t* codec = header + Pvf::kCodecOffset;
    if (std::memcmp(codec, Pvf::kCodecH264, sizeof Pvf::kCodecH264) != 0) {
        return "unsupported codec '" + Printable(codec, 4) + "'";
    }
    const uint32_t timescale = Pvf::LoadLe32(header + Pvf::kTimescaleOffset);
    if (timescale != Pvf::kTimescale) {
        return "unsupported timestamp unit (" + std::to_string(timescale) + " per second)";
    }
    *headerSize = static_cast<int64_t>(size);
    *creationTime = static_cast<int64_t>(Pvf::LoadLe64(header + Pvf::kCreationTimeOffset));
    return {};
}

}  // namespace

std::unique_ptr<PvfReader> PvfReader::Open(const std::string& path, std::string* error) {
    int fd;
    do {
        // Without waiting: a FIFO given as a recording is refused below, not waited on.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return nullptr;
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = "not a regular file";
        ::close(fd);
        return nullptr;
    }
    int64_t headerSize = 0;
    int64_t creationTime = 0;
    *error = CheckHeader(fd, status.st_size, &headerSize, &creationTime);
    if (!error->empty()) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<PvfReader>(new PvfReader(fd, status.st_size, headerSize, creationTime));
}

PvfReader::PvfReader(int fd, int64_t fileSize, int64_t headerSize, int64_t creationTime)
    : m_fd(fd),
      m_fileSize(fileSize),
      m_headerSize(headerSize),
      m_creationTime(creationTime),
      m_position(headerSize),
      m_tailOffset(headerSize) {}

PvfReader::~PvfReader() {
    ::close(m_fd);
}

bool PvfReader::ReadAt(int64_t offset, void* data, size_t size) {
    if (const int error = ReadFully(m_fd, offset, data, size); error != 0) {
        m_errorText = "cannot read at offset " + std::to_string(offset) + ": " + Reason(error);
        return false;
    }
    return true;
}

PvfReader::Check PvfReader::CheckRecord(int64_t offset, EncodedFrame* frame, int64_t* recordSize) {
    const int64_t available = m_fileSize - offset;
    if (available < static_cast<int64_t>(Pvf::kRecordHeaderSize)) {
        return Check::Invalid;
    }
    uint8_t header[Pvf::kRecordHeaderSize];
    if (!ReadAt(offset, header, sizeof header)) {
        return Check::ReadError;
    }
    if (std::memcmp(header, Pvf::kRecordMarker, sizeof Pvf::kRecordMarker) != 0) {
        return Check::Invalid;
    }
    // The length is checked against the limit and the file before anything is allocated.
    const uint32_t length = Pvf::LoadLe32(header + Pvf::kRecordLengthOffset);
    if (length == 0 || length > Pvf::kMaxPayloadSize ||
        length > available - static_cast<int64_t>(Pvf::kRecordHeaderSize)) {
        return Check::Invalid;
    }
    m_payload.resize(length);
    if (!ReadAt(offset + Pvf::kRecordHeaderSize, m_payload.data(), length)) {
        return Check::ReadError;
    }
    const uint32_t crc =
        Crc32(Crc32(0, header, Pvf::kRecordCrcOffset), m_payload.data(), m_payload.size());
    if (crc != Pvf::LoadLe32(header + Pvf::kRecordCrcOffset)) {
        return Check::Invalid;
    }
    frame->data = m_payload.data();
    frame->size = length;
    frame->timestampUs = static_cast<int64_t>(Pvf::LoadLe64(header + Pvf::kRecordTimestampOffset));
    frame->keyFrame = (Pvf::LoadLe32(header + Pvf::kRecordFlagsOffset) & Pvf::kRecordKeyFrame) != 0;
    *recordSize = static_cast<int64_t>(Pvf::kRecordHeaderSize) + length;
    return Check::Valid;
}

// Looks for the first valid record at or after `from`: every occurrence of the record marker is
// a candidate, and only a candidate passing all checks counts.
PvfReader::Check PvfReader::FindRecord(int64_t from, int64_t* found, EncodedFrame* frame,
                                       int64_t* recordSize) {
    constexpr size_t kOverlap = sizeof Pvf::kRecordMarker - 1;  // a marker across two windows
    int64_t window = from;
    while (m_fileSize - window >= static_cast<int64_t>(Pvf::kRecordHeaderSize)) {
        const size_t size = static_cast<size_t>(std::min<int64_t>(kScanChunk, m_fileSize - window));
        m_scan.resize(size);
        if (!ReadAt(window, m_scan.data(), size)) {
            return Check::ReadError;
        }
        size_t at = 0;
        while (const void* hit = memmem(m_scan.data() + at, size - at, Pvf::kRecordMarker,
                                        sizeof Pvf::kRecordMarker)) {
            at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - m_scan.data());
            const Check check = CheckRecord(window + at, frame, recordSize);
            if (check != Check::Invalid) {
                *found = window + at;
                return check;
            }
            ++at;
        }
        if (window + static_cast<int64_t>(size) >= m_fileSize) {
            break;
        }
        window += size - kOverlap;
    }
    return Check::Invalid;
}

bool PvfReader::Next(EncodedFrame* frame) {
    if (!m_errorText.empty() || m_position >= m_fileSize) {
        return false;
    }
    int64_t recordSize = 0;
    Check check = CheckRecord(m_position, frame, &recordSize);
    if (check == Check::Invalid) {
        int64_t found = 0;
        check = FindRecord(m_position + 1, &found, frame, &recordSize);
        if (check == Check::Invalid) {
            // Nothing valid follows: from here on it is the damaged tail.
            m_position = m_fileSize;
            return false;
        }
        if (check == Check::Valid) {
            m_skippedBytes += found - m_position;
            ++m_skippedRegions;
            m_position = found;
        }
    }
    if (check == Check::ReadError) {
        return false;
    }
    m_position += recordSize;
    m_tailOffset = m_position;
    return true;
}

void PvfReader::Rewind() {
    m_position = m_headerSize;
    m_tailOffset = m_headerSize;
    m_skippedBytes = 0;
    m_skippedRegions = 0;
    m_errorText.clear();
}

bool PvfReader::Summarize(Summary* summary) {
    Rewind();
    *summary = Summary{};
    summary->fileSize = m_fileSize;
    summary->creationTime = m_creationTime;
    int64_t first = 0;
    int64_t previous = 0;
    int64_t last = 0;
    EncodedFrame frame;
    while (Next(&frame)) {
        if (summary->frames == 0) {
            first = frame.timestampUs;
        }
        previous = last;
        last = frame.timestampUs;
        ++summary->frames;
        summary->keyFrames += frame.keyFrame ? 1 : 0;
    }
    if (summary->frames >= 2) {
        summary->durationUs = std::max<int64_t>(0, last - first + (last - previous));
    }
    summary->damagedTailOffset = m_tailOffset;
    summary->damagedTailBytes = m_fileSize - m_tailOffset;
    summary->skippedBytes = m_skippedBytes;
    summary->skippedRegions = m_skippedRegions;
    if (!m_errorText.empty()) {
        return false;
    }
    Rewind();
    return true;
}

}  // namespace Media
