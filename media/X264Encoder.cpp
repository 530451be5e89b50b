#include "media/X264Encoder.h"

#include <x264.h>

#include <chrono>
#include <cstring>

namespace {

// The speed/size trade-off for a 480 x 640 thermal picture at 25 fps, encoded on the capture
// thread: the fastest preset, with CABAC and the deblocking filter back on (half the size of
// the plain preset's files; smooth thermal gradients show blocks without deblocking). The
// measurements behind the choice are in docs/recording.md.
constexpr const char* kPreset = "ultrafast";
constexpr float kConstantQuality = 23.0f;
constexpr int kKeyFrameGapMs = 1000;

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

EncParams MakeEncParams(int width, int height) {
    EncParams params{};
    params.word[0] = width;
    params.word[1] = height;
    params.word[2] = width * height;
    params.word[3] = 25;
    params.word[5] = 10;
    params.word[6] = 100;
    params.word[9] = 1;
    params.word[12] = 7;
    params.word[13] = 1;
    return params;
}

void* X264_Enc_Open(const EncParams* params) {
    X264Encoder::Settings settings;
    if (params == nullptr || !X264Encoder::ReadParams(*params, &settings)) {
        return nullptr;
    }
    return X264Encoder::Open(settings).release();
}

int X264_Enc_Start(void* handle, const EncPicture* picture, EncOutput* output) {
    if (handle == nullptr || picture == nullptr || output == nullptr) {
        return -1;
    }
    return static_cast<X264Encoder*>(handle)->Encode(*picture, output->buffer, output->capacity,
                                                     MonotonicMs());
}

void X264_Enc_Close(void* handle) {
    delete static_cast<X264Encoder*>(handle);
}

void X264_Enc_RequestKeyFrame(void* handle) {
    if (handle != nullptr) {
        static_cast<X264Encoder*>(handle)->RequestKeyFrame();
    }
}

bool X264Encoder::ReadParams(const EncParams& params, Settings* settings) {
    settings->width = params.word[0];
    settings->height = params.word[1];
    settings->frameRate = params.word[3] > 0 ? params.word[3] : 25;
    settings->bitrateKbps = params.word[4] > 0 ? params.word[4] : 0;
    // 4:2:0 needs even sizes; word 2 must agree, or the caller's picture is not what it says.
    return settings->width > 0 && settings->height > 0 && settings->width % 2 == 0 &&
           settings->height % 2 == 0 &&
           static_cast<int64_t>(params.word[2]) ==
               static_cast<int64_t>(settings->width) * settings->height;
}

std::unique_ptr<X264Encoder> X264Encoder::Open(const Settings& settings) {
    x264_param_t param;
    if (x264_param_default_preset(&param, kPreset, "zerolatency") < 0) {
        return nullptr;
    }
    param.i_log_level = X264_LOG_ERROR;
    param.b_cabac = 1;
    param.b_deblocking_filter = 1;
    // The capture thread encodes; x264's own threads would only add latency and contention.
    param.i_threads = 1;
    param.b_sliced_threads = 0;
    param.i_width = settings.width;
    param.i_height = settings.height;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = static_cast<uint32_t>(settings.frameRate);
    param.i_fps_den = 1;
    param.b_vfr_input = 0;
    param.i_bframe = 0;
    param.rc.i_lookahead = 0;
    param.i_sync_lookahead = 0;
    param.i_keyint_max = settings.frameRate;
    param.i_keyint_min = settings.frameRate;
    param.b_open_gop = 0;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    if (settings.bitrateKbps > 0) {
        param.rc.i_rc_method = X264_RC_ABR;
        param.rc.i_bitrate = settings.bitrateKbps;
    } else {
        param.rc.i_rc_method = X264_RC_CRF;
        param.rc.f_rf_constant = kConstantQuality;
    }
    if (x264_param_apply_profile(&param, "high") < 0) {
        return nullptr;
    }
    x264_t* encoder = x264_encoder_open(&param);
    if (encoder == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<X264Encoder>(new X264Encoder(encoder, settings));
}

X264Encoder::X264Encoder(x264_t* encoder, const Settings& settings)
    : m_encoder(encoder), m_settings(settings) {}

X264Encoder::~X264Encoder() {
    x264_encoder_close(m_encoder);
}

int X264Encoder::Encode(const EncPicture& picture, unsigned char* out, int capacity,
                        int64_t nowMs) {
    if (picture.y == nullptr || picture.u == nullptr || picture.v == nullptr || out == nullptr) {
        return -1;
    }
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_I420;
    in.img.i_plane = 3;
    in.img.plane[0] = picture.y;
    in.img.plane[1] = picture.u;
    in.img.plane[2] = picture.v;
    in.img.i_stride[0] = m_settings.width;
    in.img.i_stride[1] = m_settings.width / 2;
    in.img.i_stride[2] = m_settings.width / 2;
    in.i_pts = m_frameIndex++;
    // x264 counts the key-frame interval in frames; a slow camera would stretch it, so force
    // one by the clock too.
    if (m_keyRequested || (m_keySeen && nowMs - m_lastKeyMs >= kKeyFrameGapMs)) {
        in.i_type = X264_TYPE_IDR;
    }
    x264_nal_t* nals = nullptr;
    int nalCount = 0;
    x264_picture_t encoded;
    const int size = x264_encoder_encode(m_encoder, &nals, &nalCount, &in, &encoded);
    if (size <= 0) {
        return size < 0 ? -1 : 0;
    }
    if (size > capacity) {
        return -1;
    }
    // x264 lays the payloads of one call out back to back.
    std::memcpy(out, nals[0].p_payload, static_cast<size_t>(size));
    if (encoded.b_keyframe) {
        m_keySeen = true;
        m_keyRequested = false;
        m_lastKeyMs = nowMs;
    }
    return size;
}
