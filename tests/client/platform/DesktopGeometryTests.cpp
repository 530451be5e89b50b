// Centring on the whole desktop, over screen layouts whose union does not start at (0, 0).
#include "platform/DesktopGeometry.h"

#include <gtest/gtest.h>

TEST(DesktopGeometry, CentresOnTheUnionOfAllScreens) {
    const QSize window(1280, 720);
    const struct {
        const char* name;
        QList<QRect> screens;
        QRect desktop;
        QPoint centred;
    } cases[] = {
        {"one screen", {{0, 0, 1920, 1080}}, {0, 0, 1920, 1080}, {320, 180}},
        {"second screen to the left",
         {{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}},
         {-1280, 0, 3200, 1080},
         {-320, 180}},
        {"second screen above",
         {{0, 0, 1920, 1080}, {0, -1200, 1920, 1200}},
         {0, -1200, 1920, 2280},
         {320, -420}},
        {"screen smaller than the window: overhangs evenly",
         {{-10, 0, 1024, 600}},
         {-10, 0, 1024, 600},
         {-138, -60}},
        {"odd spare space truncates", {{0, 0, 1281, 723}}, {0, 0, 1281, 723}, {0, 1}},
    };
    for (const auto& c : cases) {
        const QRect desktop = desktopGeometry(c.screens);
        EXPECT_EQ(desktop, c.desktop) << c.name;
        EXPECT_EQ(centredOn(desktop, window), c.centred) << c.name;
    }
    EXPECT_TRUE(desktopGeometry(QList<QRect>()).isEmpty());
}
