// The picture topic's payload: a PNG within the limit goes byte for byte; one over it is scaled
// down (aspect kept) until it fits, and still decodes; what is no PNG is refused with a reason.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QImage>
#include <random>

#include "events/AlarmPicture.h"
#include "support/TempDir.h"

TEST(AlarmPicture, SendsThePngAsItIsOrScaledToFitTheLimit) {
    CalorviewTest::TempDir dir;
    // Noise compresses badly: about 300 KB as a 480 x 640 grey PNG.
    QImage noise(480, 640, QImage::Format_Grayscale8);
    std::mt19937 random(7);
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x) {
            noise.scanLine(y)[x] = static_cast<uchar>(random());
        }
    }
    const QString path = QString::fromStdString(dir.file("Alarm_1.png"));
    ASSERT_TRUE(noise.save(path, "PNG"));
    const qint64 size = QFileInfo(path).size();

    const AlarmPicture whole = AlarmPicture::Load(path, size);
    EXPECT_FALSE(whole.scaled);
    EXPECT_EQ(whole.png.size(), size);
    EXPECT_EQ(whole.width, 480);

    for (const qint64 limit : {size / 2, qint64{16 * 1024}}) {
        SCOPED_TRACE(limit);
        const AlarmPicture scaled = AlarmPicture::Load(path, limit);
        ASSERT_TRUE(scaled.error.isEmpty()) << scaled.error.toStdString();
        EXPECT_TRUE(scaled.scaled);
        EXPECT_LE(scaled.png.size(), limit);
        EXPECT_EQ(scaled.fileBytes, size);
        QImage decoded;
        ASSERT_TRUE(decoded.loadFromData(scaled.png, "PNG"));
        EXPECT_EQ(decoded.size(), QSize(scaled.width, scaled.height));
        EXPECT_NEAR(static_cast<double>(decoded.width()) / decoded.height(), 0.75, 0.02);
    }

    CalorviewTest::writeFile(dir.file("torn.png"), "\x89PNG\r\n\x1a\n torn");
    for (const std::string name : {"torn.png", "missing.png"}) {
        const AlarmPicture refused =
            AlarmPicture::Load(QString::fromStdString(dir.file(name)), size);
        EXPECT_TRUE(refused.png.isEmpty()) << name;
        EXPECT_FALSE(refused.error.isEmpty()) << name;
    }
}
