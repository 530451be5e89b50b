#include "media/AnnexB.h"

namespace Media {

namespace {

constexpr int kNalNonIdrSlice = 1;
constexpr int kNalIdrSlice = 5;

// Finds the next start code at or after `p`; sets *payload to the NAL header after it.
const uint8_t* NextStartCode(const uint8_t* p, const uint8_t* end, const uint8_t** payload) {
    for (; p + 3 <= end; ++p) {
        if (p[0] == 0 && p[1] == 0 && p[2] == 1) {
            *payload = p + 3;
            return p;
        }
    }
    *payload = end;
    return end;
}

// Type of the first slice NAL and where its start code begins.
const uint8_t* FindSlice(const uint8_t* data, size_t size, int* type) {
    const uint8_t* const end = data + size;
    const uint8_t* payload = nullptr;
    const uint8_t* start = NextStartCode(data, end, &payload);
    while (payload < end) {
        const int nalType = *payload & 0x1F;
        if (nalType == kNalNonIdrSlice || nalType == kNalIdrSlice) {
            *type = nalType;
            // Include the leading zero of a four-byte start code.
            return (start > data && start[-1] == 0) ? start - 1 : start;
        }
        start = NextStartCode(payload, end, &payload);
    }
    *type = 0;
    return end;
}

}  // namespace

bool IsKeyFrame(const uint8_t* data, size_t size) {
    int type = 0;
    FindSlice(data, size, &type);
    return type == kNalIdrSlice;
}

const uint8_t* FirstSlice(const uint8_t* data, size_t size) {
    int type = 0;
    return FindSlice(data, size, &type);
}

}  // namespace Media
