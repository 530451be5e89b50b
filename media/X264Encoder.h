// The H.264 encoder layer of recordings, on libx264: Annex-B output with the parameter sets
// repeated at every key frame, no B-frames and no delay (each picture's bytes come back from the
// call that takes it), and a key frame at least once a second, whatever the camera's rate, so
// a crash never costs more than a second of a recording.
//
// The C-style calls keep the recording code's contract: X264_Enc_Open gives a handle (null on
// failure), X264_Enc_Start encodes one I420 picture and returns the number of bytes written to
// the output buffer (0 or less when none), X264_Enc_Close frees the handle.
// X264_Enc_RequestKeyFrame makes the next picture a key frame: after a frame was lost, the
// pictures that would refer to it start afresh instead.
//
// Threads: a handle is used by one thread at a time; different handles are independent.
#pragma once

#include <cstdint>
#include <memory>

struct x264_t;

// 23 words. Word 0 width, 1 height, 2 width x height, 3 frame rate; words 4 to 14 carry the
// recording code's fixed settings (see X264Encoder::Settings for how they are read).
struct EncParams {
    int32_t word[23];
};

// One I420 picture: Y, U and V plane pointers (rows packed, U and V half width and height).
struct EncPicture {
    unsigned char* y;
    unsigned char* u;
    unsigned char* v;
    int32_t reserved[4];
};

// Where the encoded bytes go: the caller's buffer and its capacity in bytes.
struct EncOutput {
    int32_t unused;
    unsigned char* buffer;
    int32_t capacity;
};

// The block the recording code passes for a width x height picture.
EncParams MakeEncParams(int width, int height);

void* X264_Enc_Open(const EncParams* params);
int X264_Enc_Start(void* handle, const EncPicture* picture, EncOutput* output);
void X264_Enc_Close(void* handle);
void X264_Enc_RequestKeyFrame(void* handle);

class X264Encoder {
public:
    // What we take from EncParams; everything else is fixed for the product.
    struct Settings {
        int width = 0;
        int height = 0;
        int frameRate = 25;   // word 3; also the key-frame interval in frames (one second)
        int bitrateKbps = 0;  // word 4; 0 = constant quality
    };
    static bool ReadParams(const EncParams& params, Settings* settings);

    // Null when x264 refuses the settings.
    static std::unique_ptr<X264Encoder> Open(const Settings& settings);
    ~X264Encoder();
    X264Encoder(const X264Encoder&) = delete;
    X264Encoder& operator=(const X264Encoder&) = delete;

    int Width() const { return m_settings.width; }
    int Height() const { return m_settings.height; }
    // Encodes one picture; the bytes written to `out` (at most `capacity`), 0 when none, -1 on
    // an encoder error or a too small buffer. `nowMs` is a monotonic clock reading.
    int Encode(const EncPicture& picture, unsigned char* out, int capacity, int64_t nowMs);
    // The next picture Encode takes becomes a key frame (IDR).
    void RequestKeyFrame() { m_keyRequested = true; }

private:
    X264Encoder(x264_t* encoder, const Settings& settings);

    x264_t* m_encoder;
    Settings m_settings;
    int64_t m_frameIndex = 0;
    int64_t m_lastKeyMs = 0;
    bool m_keySeen = false;
    bool m_keyRequested = false;
};
