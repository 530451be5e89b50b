// The about menu's "Help": opening the operation manual, and what the user is told otherwise.
#include <gtest/gtest.h>

#include <QUrl>
#include <string>
#include <vector>

#include "platform/ShellOpen.h"
#include "support/TempDir.h"

namespace {

struct Outcome {
    bool opened = false;
    std::vector<QUrl> urls;
    std::vector<std::pair<QString, QString>> messages;  // caption, text
};

Outcome openManual(const CalorviewTest::TempDir& appDir, bool viewerAccepts) {
    Outcome outcome;
    const ShellOpen shell(
        [&](const QUrl& url) {
            outcome.urls.push_back(url);
            return viewerAccepts;
        },
        [&](const QString& caption, const QString& text) {
            outcome.messages.emplace_back(caption, text);
        });
    outcome.opened = shell.OpenManual(QString::fromStdString(appDir.path().string()));
    return outcome;
}

TEST(Help, ManualLiesInTheApplicationDirectory) {
    EXPECT_EQ(ShellOpen::ManualPath("/opt/calorview"), "/opt/calorview/Operation Manual.pdf");
    EXPECT_TRUE(ShellOpen::ManualPath().endsWith("/Operation Manual.pdf"));
    EXPECT_FALSE(ShellOpen::ManualPath().startsWith("/Operation"));
}

TEST(Help, ThreeOutcomes) {
    const struct {
        const char* name;
        bool manualPresent;
        bool viewerAccepts;
        bool opened;
        int openerCalls;
        const char* message;  // nullptr: none shown
    } cases[] = {
        {"opened", true, true, true, 1, nullptr},
        {"manual missing", false, true, false, 0, "Manual not found"},
        {"no viewer", true, false, false, 1, "No application found to open this file."},
    };
    for (const auto& c : cases) {
        CalorviewTest::TempDir appDir;
        if (c.manualPresent) {
            CalorviewTest::writeFile(appDir.file("Operation Manual.pdf"), "%PDF-1.4\n");
        }
        const Outcome outcome = openManual(appDir, c.viewerAccepts);
        EXPECT_EQ(outcome.opened, c.opened) << c.name;
        ASSERT_EQ(static_cast<int>(outcome.urls.size()), c.openerCalls) << c.name;
        if (c.openerCalls == 1) {
            EXPECT_EQ(
                outcome.urls[0],
                QUrl::fromLocalFile(QString::fromStdString(appDir.file("Operation Manual.pdf"))))
                << c.name;
        }
        if (c.message == nullptr) {
            EXPECT_TRUE(outcome.messages.empty()) << c.name;
        } else {
            ASSERT_EQ(outcome.messages.size(), 1u) << c.name;
            EXPECT_EQ(outcome.messages[0].first, "Attention") << c.name;
            EXPECT_EQ(outcome.messages[0].second, c.message) << c.name;
        }
    }
}

TEST(Help, AFolderNamedLikeTheManualIsNotTheManual) {
    CalorviewTest::TempDir appDir;
    std::filesystem::create_directory(appDir.path() / "Operation Manual.pdf");
    const Outcome outcome = openManual(appDir, true);
    EXPECT_FALSE(outcome.opened);
    EXPECT_TRUE(outcome.urls.empty());
    ASSERT_EQ(outcome.messages.size(), 1u);
    EXPECT_EQ(outcome.messages[0].second, "Manual not found");
}

}  // namespace
