#include <gtest/gtest.h>

#include "video/Letterbox.h"

namespace {

TEST(LetterboxTest, PlacesThePictureAspectKeptAndCentred) {
    const struct {
        QSize picture, area;
        QRect expected;
    } cases[] = {
        {{480, 640}, {1280, 670}, QRect(389, 0, 502, 670)},  // bars left and right
        {{640, 480}, {400, 600}, QRect(0, 150, 400, 300)},   // bars above and below
        {{640, 480}, {640, 480}, QRect(0, 0, 640, 480)},     // same aspect: no bars
        {{480, 640}, {1279, 669}, QRect(389, 0, 501, 669)},  // sizes round down
        {{480, 640}, {480, 640}, QRect(0, 0, 480, 640)},
        {{480, 640}, {1280, 0}, QRect()},  // minimised: nothing to draw
        {{480, 640}, {0, 670}, QRect()},
        {{0, 640}, {1280, 670}, QRect()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LetterboxRect(c.picture, c.area), c.expected)
            << c.picture.width() << "x" << c.picture.height() << " in " << c.area.width() << "x"
            << c.area.height();
    }
}

}  // namespace
