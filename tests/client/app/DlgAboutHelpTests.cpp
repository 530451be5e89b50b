// The about menu's "Help": opening the operation manual, and what the user is told otherwise.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QUrl>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ShellOpen.h"
#include "support/TempDir.h"

namespace {

struct Outcome {
    bool opened = false;
    std::vector<QString> checkedTypes;
    std::vector<QUrl> urls;
    std::vector<std::pair<QString, QString>> messages;  // caption, text
};

Outcome openManual(const CalorviewTest::TempDir& appDir, bool viewerKnown, bool viewerAccepts) {
    Outcome outcome;
    const ShellOpen shell(
        [&](const QUrl& url) {
            outcome.urls.push_back(url);
            return viewerAccepts;
        },
        [&](const QString& mimeType) {
            outcome.checkedTypes.push_back(mimeType);
            return viewerKnown;
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

TEST(Help, Outcomes) {
    const struct {
        const char* name;
        bool manualPresent;
        bool viewerKnown;  // the desktop names an application for PDF files
        bool viewerAccepts;
        bool opened;
        int openerCalls;
        const char* message;  // nullptr: none shown
    } cases[] = {
        {"opened", true, true, true, true, 1, nullptr},
        {"manual missing", false, true, true, false, 0, "Manual not found"},
        {"no viewer installed", true, false, true, false, 0,
         "No application found to open this file."},
        {"opener fails", true, true, false, false, 1, "No application found to open this file."},
    };
    for (const auto& c : cases) {
        CalorviewTest::TempDir appDir;
        if (c.manualPresent) {
            CalorviewTest::writeFile(appDir.file("Operation Manual.pdf"), "%PDF-1.4\n");
        }
        const Outcome outcome = openManual(appDir, c.viewerKnown, c.viewerAccepts);
        EXPECT_EQ(outcome.opened, c.opened) << c.name;
        if (c.manualPresent) {
            EXPECT_EQ(outcome.checkedTypes, std::vector<QString>{"application/pdf"}) << c.name;
        }
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

// The desktop's answer, from stand-ins for xdg-mime that behave like its variants.
TEST(Help, DefaultApplicationComesFromXdgMime) {
    const struct {
        const char* name;
        const char* script;  // nullptr: no such program
        bool expected;
    } cases[] = {
        {"names a viewer",
         "[ \"$*\" = \"query default application/pdf\" ] && echo org.example.Viewer.desktop", true},
        {"generic desktop without a viewer", "exit 0", false},
        {"KDE without a viewer", "exit 4", false},
        {"no method to ask", "echo 'no method available' >&2; exit 3", true},
        {"hangs", "exec sleep 10", true},
        {"not installed", nullptr, true},
    };
    for (const auto& c : cases) {
        CalorviewTest::TempDir dir;
        const std::string program = dir.file("xdg-mime");
        if (c.script != nullptr) {
            CalorviewTest::writeFile(program, std::string("#!/bin/sh\n") + c.script + "\n");
            std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        }
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(ShellOpen::HasDefaultApplication("application/pdf",
                                                   QString::fromStdString(program), 1500),
                  c.expected)
            << c.name;
        EXPECT_LT(clock.elapsed(), 5000) << c.name << ": the query must not outlive its time";
    }
}

TEST(Help, AFolderNamedLikeTheManualIsNotTheManual) {
    CalorviewTest::TempDir appDir;
    std::filesystem::create_directory(appDir.path() / "Operation Manual.pdf");
    const Outcome outcome = openManual(appDir, true, true);
    EXPECT_FALSE(outcome.opened);
    EXPECT_TRUE(outcome.urls.empty());
    ASSERT_EQ(outcome.messages.size(), 1u);
    EXPECT_EQ(outcome.messages[0].second, "Manual not found");
}

}  // namespace
