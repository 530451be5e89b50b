#include "media/PvfWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "media/PvfFormat.h"

namespace Media {

namespace {

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

}  // namespace

PvfWriter::PvfWriter(std::unique_ptr<FileSink> sink, int64_t creationTime)
    : m_sink(std::move(sink)), m_creationTime(creationTime) {}

void PvfWriter::AppendHeader() {
    uint8_t header[Pvf::kHeaderSize] = {};
    std::memcpy(header + Pvf::kMagicOffset, Pvf::kMagic, sizeof Pvf::kMagic);
    Pvf::StoreLe16(header + Pvf::kVersionOffset, Pvf::kVersion);
    Pvf::StoreLe16(header + Pvf::kHeaderSizeOffset, Pvf::kHeaderSize);
    std::memcpy(header + Pvf::kCodecOffset, Pvf::kCodecH264, sizeof Pvf::kCodecH264);
    Pvf::StoreLe32(header + Pvf::kTimescaleOffset, Pvf::kTimescale);
    Pvf::StoreLe32(header + Pvf::kFlagsOffset, 0);
    Pvf::StoreLe64(header + Pvf::kCreationTimeOffset, static_cast<uint64_t>(m_creationTime));
    const size_t crcOffset = Pvf::kHeaderSize - 4;
    Pvf::StoreLe32(header + crcOffset, Crc32(0, header, crcOffset));
    m_buffer.insert(m_buffer.end(), header, header + sizeof header);
}

bool PvfWriter::WriteFrame(const EncodedFrame& frame) {
    if (frame.size == 0 || frame.size > Pvf::kMaxPayloadSize) {
        m_error = EINVAL;
        return false;
    }
    m_buffer.clear();
    if (!m_headerWritten) {
        // With the first record in one write: a failed first frame leaves an empty file, never
        // a header that a retry would write twice.
        AppendHeader();
    }
    uint8_t record[Pvf::kRecordHeaderSize];
    std::memcpy(record + Pvf::kRecordMarkerOffset, Pvf::kRecordMarker, sizeof Pvf::kRecordMarker);
    Pvf::StoreLe32(record + Pvf::kRecordLengthOffset, static_cast<uint32_t>(frame.size));
    Pvf::StoreLe64(record + Pvf::kRecordTimestampOffset, static_cast<uint64_t>(frame.timestampUs));
    Pvf::StoreLe32(record + Pvf::kRecordFlagsOffset, frame.keyFrame ? Pvf::kRecordKeyFrame : 0);
    const uint32_t crc = Crc32(Crc32(0, record, Pvf::kRecordCrcOffset), frame.data, frame.size);
    Pvf::StoreLe32(record + Pvf::kRecordCrcOffset, crc);
    m_buffer.insert(m_buffer.end(), record, record + sizeof record);
    m_buffer.insert(m_buffer.end(), frame.data, frame.data + frame.size);
    return WriteBuffer();
}

bool PvfWriter::WriteBuffer() {
    const int64_t before = m_sink->Size();
    if (!m_sink->Write(m_buffer.data(), m_buffer.size())) {
        m_error = m_sink->Error();
        // Should this fail too, the next write still starts at `before` and covers the rest;
        // whatever stays beyond it reads as a damaged tail.
        m_sink->Truncate(before);
        return false;
    }
    m_headerWritten = true;
    return true;
}

bool PvfWriter::Sync() {
    if (!m_sink->Sync()) {
        m_error = m_sink->Error();
        return false;
    }
    return true;
}

bool PvfWriter::Finish() {
    if (!m_headerWritten) {
        m_buffer.clear();
        AppendHeader();
        if (!WriteBuffer()) {
            return false;
        }
    }
    return Sync();
}

}  // namespace Media
