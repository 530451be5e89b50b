// pvf-sample OUT.pvf FRAMES: writes a new PVF recording of FRAMES real H.264 frames (480 x 640,
// 25 a second, a key frame every second, created 2025-12-06 05:46:40 UTC), the input the
// pvf-tool tests convert as a user would. Exit status 0 when written, 1 when not.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/AnnexB.h"
#include "media/FileSink.h"
#include "media/PvfWriter.h"
#include "media/X264Encoder.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 640;

// A warm spot moving over a gradient, frame `n`.
void Draw(int n, std::vector<unsigned char>* planes) {
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int dx = x - (n * 7) % kWidth;
            const int dy = y - kHeight / 2;
            (*planes)[y * kWidth + x] =
                static_cast<unsigned char>(dx * dx + dy * dy < 2500 ? 230 : 40 + y / 8);
        }
    }
    std::fill(planes->begin() + kWidth * kHeight, planes->end(), 128);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc == 3 ? std::atoi(argv[2]) : 0;
    if (frames <= 0) {
        std::fprintf(stderr, "usage: pvf-sample OUT.pvf FRAMES\n");
        return 2;
    }
    X264Encoder::Settings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    const auto encoder = X264Encoder::Open(settings);
    int error = 0;
    auto sink = Media::FileSink::Create(argv[1], &error);
    if (!encoder || !sink) {
        std::fprintf(stderr, "pvf-sample: %s: %s\n", argv[1],
                     sink ? "no encoder" : std::strerror(error));
        return 1;
    }
    Media::PvfWriter writer(std::move(sink), 1765000000);
    std::vector<unsigned char> planes(kWidth * kHeight * 3 / 2);
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    for (int i = 0; i < frames; ++i) {
        Draw(i, &planes);
        unsigned char* y = planes.data();
        const EncPicture picture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
        const int n = encoder->Encode(picture, out.data(), static_cast<int>(out.size()), i * 40);
        const Media::EncodedFrame frame{out.data(), static_cast<size_t>(n), i * 40000LL,
                                        n > 0 && Media::IsKeyFrame(out.data(), n)};
        if (n <= 0 || !writer.WriteFrame(frame)) {
            std::fprintf(stderr, "pvf-sample: %s: frame %d not written\n", argv[1], i);
            return 1;
        }
    }
    if (!writer.Finish()) {
        std::fprintf(stderr, "pvf-sample: %s: %s\n", argv[1], std::strerror(writer.Error()));
        return 1;
    }
    return 0;
}
