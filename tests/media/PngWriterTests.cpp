// Snapshot PNGs read back by Qt's decoder (libpng): every filter gives the same picture, grey
// pictures are stored as greyscale and any coloured pixel keeps the whole picture RGB, whether
// deflated as literals only or by libdeflate.
#include <gtest/gtest.h>

#include <QImage>
#include <vector>

#include "media/PngWriter.h"

namespace {

constexpr int kWidth = 37;  // odd, so that rows are no multiple of any vector width
constexpr int kHeight = 23;

// A grey picture with steps, ramps and noise, so that every predictor gets its branches.
std::vector<unsigned char> GreyPicture() {
    std::vector<unsigned char> rgb(kWidth * kHeight * 3);
    unsigned seed = 12345;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            seed = seed * 1103515245u + 12345u;
            const auto value =
                static_cast<unsigned char>(x < kWidth / 2 ? x * 7 + y * 3 : seed >> 24);
            for (int c = 0; c < 3; ++c) {
                rgb[(y * kWidth + x) * 3 + c] = value;
            }
        }
    }
    return rgb;
}

QImage Decode(const std::vector<uint8_t>& png) {
    QImage image;
    image.loadFromData(png.data(), static_cast<int>(png.size()), "PNG");
    return image;
}

TEST(PngWriterTest, EveryFilterGivesBackThePictureAsGreyOrRgb) {
    std::vector<unsigned char> lastColoured = GreyPicture();
    lastColoured[lastColoured.size() - 1] ^= 1;  // the very last sample: the check must see it
    std::vector<unsigned char> coloured = GreyPicture();
    for (size_t i = 0; i < coloured.size(); i += 3) {
        coloured[i] = static_cast<unsigned char>(coloured[i] + 40);
    }
    const struct {
        const char* name;
        std::vector<unsigned char> rgb;
        uint8_t colourType;  // IHDR: 0 greyscale, 2 RGB
    } pictures[] = {{"grey", GreyPicture(), 0},
                    {"grey but the last sample", lastColoured, 2},
                    {"coloured", coloured, 2}};
    const std::vector<Media::PngText> text{{"Camera time", "2026-12-07 09:15:00"},
                                           {"Temperature", "38.5\u2103"}};
    for (const auto& picture : pictures) {
        const QImage expected(picture.rgb.data(), kWidth, kHeight, kWidth * 3,
                              QImage::Format_RGB888);
        for (const auto filter : {Media::PngFilter::kUp, Media::PngFilter::kSub,
                                  Media::PngFilter::kPaeth, Media::PngFilter::kUpOrPaeth}) {
            for (const int level : {0, 1}) {
                SCOPED_TRACE(std::string(picture.name) + ", filter " +
                             std::to_string(static_cast<int>(filter)) + ", level " +
                             std::to_string(level));
                Media::PngWriter writer(filter, level);
                std::vector<uint8_t> png;
                // Twice: the writer's kept buffers must not carry anything from one to the next.
                ASSERT_TRUE(writer.Encode(coloured.data(), kWidth, kHeight, text, &png));
                ASSERT_TRUE(writer.Encode(picture.rgb.data(), kWidth, kHeight, text, &png));
                EXPECT_EQ(png.at(25), picture.colourType);
                const QImage image = Decode(png);
                ASSERT_FALSE(image.isNull());
                EXPECT_EQ(image.convertToFormat(QImage::Format_RGB888), expected);
                EXPECT_EQ(image.text("Camera time"), "2026-12-07 09:15:00");
                EXPECT_EQ(image.text("Temperature"), QString::fromUtf8("38.5\u2103"));
            }
        }
    }
}

}  // namespace
