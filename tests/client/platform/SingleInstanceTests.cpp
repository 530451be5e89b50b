#include "platform/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <filesystem>
#include <string>

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

// A runtime folder that cannot hold the lock sends it to the private folder under the temporary
// root; only when that one is unsafe too does the program run unguarded.
TEST(SingleInstanceTest, UnusableRuntimeFolderFallsBackToAPrivateTmpFolder) {
    enum class Runtime { kUsable, kMissing, kFile };
    enum class Tmp { kFresh, kPrivateAlready, kOpenToOthers, kLink, kRootMissing };
    using Result = SingleInstance::Result;
    const struct {
        const char* name;
        Runtime runtime;
        Tmp tmp;
        Result result;
        bool inTmp;  // where the lock is, when acquired
    } cases[] = {
        {"usable runtime folder", Runtime::kUsable, Tmp::kFresh, Result::kAcquired, false},
        {"runtime folder missing", Runtime::kMissing, Tmp::kFresh, Result::kAcquired, true},
        {"runtime folder is a file", Runtime::kFile, Tmp::kFresh, Result::kAcquired, true},
        {"private folder from an earlier run", Runtime::kMissing, Tmp::kPrivateAlready,
         Result::kAcquired, true},
        {"tmp folder open to others", Runtime::kMissing, Tmp::kOpenToOthers, Result::kUnavailable,
         false},
        {"tmp folder is a link", Runtime::kMissing, Tmp::kLink, Result::kUnavailable, false},
        {"no tmp root either", Runtime::kMissing, Tmp::kRootMissing, Result::kUnavailable, false},
    };
    for (const auto& c : cases) {
        CalorviewTest::TempDir dir;
        const std::filesystem::path runtime = dir.path() / "runtime";
        if (c.runtime == Runtime::kUsable) {
            std::filesystem::create_directory(runtime);
        } else if (c.runtime == Runtime::kFile) {
            CalorviewTest::writeFile(runtime.string(), "");
        }
        std::filesystem::path tmpRoot = dir.path() / "tmp";
        std::filesystem::create_directory(tmpRoot);
        const std::filesystem::path tmp = tmpRoot / ("calorview-" + std::to_string(getuid()));
        switch (c.tmp) {
            case Tmp::kFresh:
                break;
            case Tmp::kPrivateAlready:
                ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
                break;
            case Tmp::kOpenToOthers:
                ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
                ASSERT_EQ(chmod(tmp.c_str(), 0755), 0);  // whatever the umask
                break;
            case Tmp::kLink:
                std::filesystem::create_directory(dir.path() / "prepared");
                ASSERT_EQ(chmod((dir.path() / "prepared").c_str(), 0700), 0);
                std::filesystem::create_directory_symlink(dir.path() / "prepared", tmp);
                break;
            case Tmp::kRootMissing:
                tmpRoot = dir.path() / "no-such-root";
                break;
        }

        QString detail;
        EXPECT_EQ(SingleInstance::acquire(&detail, QString::fromStdString(runtime.string()),
                                          QString::fromStdString(tmpRoot.string())),
                  c.result)
            << c.name;
        if (c.result == Result::kAcquired) {
            const std::filesystem::path folder = c.inTmp ? tmp : runtime;
            EXPECT_EQ(detail.toStdString(), (folder / "Calorview").string()) << c.name;
            struct stat info {};
            ASSERT_EQ(lstat(folder.c_str(), &info), 0) << c.name;
            if (c.inTmp) {
                EXPECT_EQ(info.st_mode & 0777, 0700u) << c.name;
            }
        } else {
            EXPECT_TRUE(detail.contains(QString::fromStdString(runtime.string())))
                << c.name << ": " << detail.toStdString();
        }
    }
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
