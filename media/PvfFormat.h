// PVF layout shared by PvfWriter and PvfReader; docs/pvf.md describes it in full.
// Every number is little-endian. Header and records are packed byte layouts, not structs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Media::Pvf {

// File header, written once in front of the first record.
inline constexpr uint8_t kMagic[8] = {0x89, 'P', 'V', 'F', '\r', '\n', 0x1a, '\n'};
inline constexpr uint16_t kVersion = 1;
inline constexpr size_t kHeaderSize = 36;       // what version 1 writes
inline constexpr size_t kMaxHeaderSize = 4096;  // a reader accepts up to this (later fields)
inline constexpr uint8_t kCodecH264[4] = {'H', '2', '6', '4'};
inline constexpr uint32_t kTimescale = 1000000;  // timestamp ticks per second: microseconds

inline constexpr size_t kMagicOffset = 0;
inline constexpr size_t kVersionOffset = 8;
inline constexpr size_t kHeaderSizeOffset = 10;
inline constexpr size_t kCodecOffset = 12;
inline constexpr size_t kTimescaleOffset = 16;
inline constexpr size_t kFlagsOffset = 20;  // none defined yet; written 0, ignored on reading
inline constexpr size_t kCreationTimeOffset = 24;
// The header CRC-32 is the last 4 bytes of the header and covers all bytes before it.

// Frame record: this fixed part, then the payload (one Annex-B access unit).
inline constexpr uint8_t kRecordMarker[4] = {'P', 'V', 'F', 'R'};
inline constexpr size_t kRecordHeaderSize = 24;
inline constexpr size_t kRecordMarkerOffset = 0;
inline constexpr size_t kRecordLengthOffset = 4;
inline constexpr size_t kRecordTimestampOffset = 8;
inline constexpr size_t kRecordFlagsOffset = 16;
inline constexpr size_t kRecordCrcOffset = 20;  // CRC-32 of bytes 0..19, then of the payload
inline constexpr uint32_t kRecordKeyFrame = 1u << 0;
// Bounds a corrupt length: a 640x480 key frame is far below this.
inline constexpr uint32_t kMaxPayloadSize = 16u << 20;

inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline void StoreLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

inline uint64_t LoadLe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

}  // namespace Media::Pvf
