#include "platform/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>

#include "support/TempDir.h"

namespace {

// The child takes the lock, tells the parent, and holds it until the parent writes back.
pid_t holdLockInChild(const QString& folder, int toParent[2], int toChild[2]) {
    const pid_t child = fork();
    if (child == 0) {
        const bool acquired =
            SingleInstance::acquire(nullptr, folder) == SingleInstance::Result::kAcquired;
        const char state = acquired ? 'y' : 'n';
        [[maybe_unused]] ssize_t n = write(toParent[1], &state, 1);
        char go = 0;
        n = read(toChild[0], &go, 1);
        _exit(acquired ? 0 : 1);
    }
    return child;
}

}  // namespace

TEST(SingleInstanceTest, SecondProcessIsRefusedUntilTheFirstEnds) {
    CalorviewTest::TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = holdLockInChild(folder, toParent, toChild);
    ASSERT_GT(child, 0);
    char state = 0;
    ASSERT_EQ(read(toParent[0], &state, 1), 1);
    ASSERT_EQ(state, 'y');

    EXPECT_EQ(SingleInstance::acquire(nullptr, folder), SingleInstance::Result::kAlreadyRunning);

    const char go = 'x';
    ASSERT_EQ(write(toChild[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The kernel dropped the lock with the process, as after a crash.
    QString where;
    EXPECT_EQ(SingleInstance::acquire(&where, folder), SingleInstance::Result::kAcquired);
    EXPECT_TRUE(where.endsWith("/Calorview"));
}

TEST(SingleInstanceTest, UnusableFolderIsReportedNotFatal) {
    QString detail;
    EXPECT_EQ(SingleInstance::acquire(&detail, "/nonexistent-folder/deeper"),
              SingleInstance::Result::kUnavailable);
    EXPECT_FALSE(detail.isEmpty());
}

TEST(SingleInstanceTest, LinkInPlaceOfTheLockFileIsRefused) {
    CalorviewTest::TempDir dir;
    const std::string target = dir.file("elsewhere");
    CalorviewTest::writeFile(target, "");
    ASSERT_EQ(symlink(target.c_str(), dir.file("Calorview").c_str()), 0);
    QString detail;
    EXPECT_EQ(SingleInstance::acquire(&detail, QString::fromStdString(dir.path().string())),
              SingleInstance::Result::kUnavailable);
}
