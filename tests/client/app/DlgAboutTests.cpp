// The about dialog: its form and the version line read from "CompileInfo.ini".
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QTranslator>
#include <string>

#include "app/DlgAbout.h"
#include "support/TempDir.h"

namespace {

QString versionLine(const CalorviewTest::TempDir& appDir) {
    DlgAbout dialog(nullptr, QString::fromStdString(appDir.path().string()));
    const auto* label = dialog.findChild<QLabel*>("label");
    return label != nullptr ? label->text() : QString("<no label>");
}

TEST(DlgAbout, FormHasItsNamesSizeAndModality) {
    CalorviewTest::TempDir appDir;
    DlgAbout dialog(nullptr, QString::fromStdString(appDir.path().string()));
    EXPECT_EQ(dialog.objectName(), "DlgAbout");
    EXPECT_EQ(dialog.windowTitle(), "DlgAbout");
    EXPECT_EQ(dialog.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(dialog.size(), QSize(425, 175));  // 123 and the folders' lines
    const auto* label = dialog.findChild<QLabel*>("label");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->geometry(), QRect(30, 20, 371, 81));
    EXPECT_FALSE(dialog.isVisible());
}

TEST(DlgAbout, VersionComesFromCompileInfoOrTheBuiltInDefault) {
    const std::string builtIn = "Calorview Version V1.000.0000000.1.T.200717";
    const struct {
        const char* name;
        const char* content;  // nullptr: no file at all
        std::string expected;
    } cases[] = {
        {"no file", nullptr, builtIn},
        {"version set", "[CompileInfo]\nCompileVersion=V2.1\n", "Calorview Version V2.1"},
        {"full build string", "[CompileInfo]\nCompileVersion=V1.002.0a1b2c3.7.R.261207\n",
         "Calorview Version V1.002.0a1b2c3.7.R.261207"},
        {"key missing", "[CompileInfo]\nOther=1\n", builtIn},
        {"key in another section", "[Build]\nCompileVersion=V9\n", builtIn},
        {"empty file", "", builtIn},
        {"not an ini file", "\x01\x02 garbage without sections", builtIn},
        {"serialised object", "[CompileInfo]\nCompileVersion=@Variant(\\0\\0\\0\\n\\xff)\n",
         builtIn},
    };
    for (const auto& c : cases) {
        CalorviewTest::TempDir appDir;
        if (c.content != nullptr) {
            CalorviewTest::writeFile(appDir.file("CompileInfo.ini"), c.content);
        }
        EXPECT_EQ(versionLine(appDir).toStdString(), c.expected) << c.name;
    }
}

TEST(DlgAbout, VersionLineIsTranslated) {
    QTranslator chinese;
    ASSERT_TRUE(chinese.load(QStringLiteral(CALORVIEW_STAGE_DIR "/Lang/kvs_zh.qm"), QString(),
                             QString(), QString()));
    QCoreApplication::installTranslator(&chinese);
    CalorviewTest::TempDir appDir;
    const QString line = versionLine(appDir);
    QCoreApplication::removeTranslator(&chinese);
    EXPECT_EQ(line, QString::fromUtf8("Calorview 版本 V1.000.0000000.1.T.200717"));
}

}  // namespace
