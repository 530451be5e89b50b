// Real recordings for tests, made by the product's encoder and container writers: `frames` H.264
// frames of a warm spot moving over a gradient (480 x 640, 25 a second, a key frame every
// second, created 2025-12-06 05:46:40 UTC) in a new PVF or a new progressive MP4.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/AnnexB.h"
#include "media/FileSink.h"
#include "media/Mp4Writer.h"
#include "media/PvfWriter.h"
#include "media/X264Encoder.h"

namespace CalorviewTest {

enum class RecordingFormat { kPvf, kMp4 };

// Frame `n` of the samples' I420 picture: a warm spot moving over a gradient (the luma plane;
// the chroma planes are left as they are).
inline void drawSamplePicture(int n, int width, int height, std::vector<unsigned char>* planes) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int dx = x - (n * 7) % width;
            const int dy = y - height / 2;
            (*planes)[y * width + x] =
                static_cast<unsigned char>(dx * dx + dy * dy < 2500 ? 230 : 40 + y / 8);
        }
    }
}

// Writes the recording to the new file `path`; an empty string when written, else one line
// saying why not.
inline std::string writeSampleRecording(const std::string& path, RecordingFormat format,
                                        int frames) {
    constexpr int kWidth = 480;
    constexpr int kHeight = 640;
    X264Encoder::Settings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    const auto encoder = X264Encoder::Open(settings);
    int error = 0;
    auto sink = Media::FileSink::Create(path, &error);
    if (!encoder || !sink) {
        return sink ? "no encoder" : std::strerror(error);
    }
    constexpr int64_t kCreated = 1765000000;
    std::unique_ptr<Media::ContainerWriter> writer;
    if (format == RecordingFormat::kPvf) {
        writer = std::make_unique<Media::PvfWriter>(std::move(sink), kCreated);
    } else {
        writer = std::make_unique<Media::Mp4Writer>(std::move(sink), kCreated);
    }
    std::vector<unsigned char> planes(kWidth * kHeight * 3 / 2, 128);
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    for (int n = 0; n < frames; ++n) {
        drawSamplePicture(n, kWidth, kHeight, &planes);
        unsigned char* y = planes.data();
        const EncPicture picture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
        const int size = encoder->Encode(picture, out.data(), static_cast<int>(out.size()), n * 40);
        const Media::EncodedFrame frame{out.data(), static_cast<size_t>(std::max(size, 0)),
                                        n * 40000LL,
                                        size > 0 && Media::IsKeyFrame(out.data(), size)};
        if (size <= 0 || !writer->WriteFrame(frame)) {
            return "frame " + std::to_string(n) + " not written";
        }
    }
    if (!writer->Finish()) {
        return std::strerror(writer->Error());
    }
    return std::string();
}

}  // namespace CalorviewTest
