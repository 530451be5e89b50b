// The installed form: chosen by the package's marker beside the program, it keeps the settings,
// the outbox, the storage folders and the logs in the user's XDG folders (the XDG rules: a
// variable unset, empty or relative falls back under home) and reads its resources beside the
// program. End to end, the staged program laid out as the package lays it out writes nothing into
// its own tree; a data folder it cannot make is said and the program goes on.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTest>
#include <filesystem>
#include <set>

#include "platform/AppFolders.h"
#include "support/ProgramEnvironment.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

}  // namespace

TEST(AppFolders, TheMarkerChoosesTheFormAndXdgRulesPlaceItsFolders) {
    CalorviewTest::TempDir dir;
    const QString app = QString::fromStdString(dir.file("app"));
    const QString home = QString::fromStdString(dir.file("home"));
    QDir().mkpath(app);
    const AppFolders portable = AppFolders::Decide(app, {});
    EXPECT_FALSE(portable.installed);
    EXPECT_EQ(portable.settingsFile, app + "/kvs.ini");
    EXPECT_EQ(portable.Resource("./Skin/kvs.qss"), "./Skin/kvs.qss");

    CalorviewTest::writeFile(dir.file("app/calorview.installed"), "");
    const struct {
        const char* variable;  // XDG_DATA_HOME
        QString data;
    } cases[] = {
        {nullptr, home + "/.local/share/calorview"},
        {"", home + "/.local/share/calorview"},
        {"relative/data", home + "/.local/share/calorview"},
        {"/srv/station//data/", "/srv/station/data/calorview"},
    };
    for (const auto& c : cases) {
        QProcessEnvironment environment;
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", "/etc/xdg-user");
        if (c.variable != nullptr) {
            environment.insert("XDG_DATA_HOME", c.variable);
        }
        const AppFolders installed = AppFolders::Decide(app, environment);
        EXPECT_TRUE(installed.installed);
        EXPECT_EQ(installed.dataDir, c.data) << (c.variable ? c.variable : "unset");
        EXPECT_EQ(installed.settingsFile, "/etc/xdg-user/calorview/kvs.ini");
        EXPECT_EQ(installed.stateDir, home + "/.local/state/calorview");
        EXPECT_EQ(installed.Resource("./Skin/kvs.qss"), app + "/Skin/kvs.qss");
        EXPECT_EQ(installed.StyleSheet("a{image: url(./Skin/x.png);}"),
                  "a{image: url(" + app + "/Skin/x.png);}");
    }
}

class InstalledFormEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        // The package's tree: programs and resources, the marker, no storage folders or kvs.ini.
        fs::create_directories(m_app.parent_path());
        fs::copy(CALORVIEW_STAGE_DIR, m_app, fs::copy_options::recursive);
        for (const char* made :
             {"AlarmImages", "AlarmRecords", "Records", "Snapshot", "QZLog", "kvs.ini"}) {
            fs::remove_all(m_app / made);
        }
        CalorviewTest::writeFile((m_app / AppFolders::kMarker).string(), "");
        CalorviewTest::writeFile(m_dir.file("camera.json"),
                                 R"({"name": "Installed", "fps": 25, "timeline": [
            {"at_ms": 0, "time": "local", "unit": "C"},
            {"at_ms": 500, "alarm": true, "rect": true, "temperature": 38.5}]})");
        m_environment =
            CalorviewTest::programEnvironment(m_dir.file("camera.json"), m_dir.path().string());
        m_environment.insert("HOME", QString::fromStdString(m_dir.file("home")));
        m_environment.remove("XDG_CONFIG_HOME");
        m_environment.remove("XDG_STATE_HOME");
        m_environment.insert("XDG_DATA_HOME", QString::fromStdString(m_dir.file("data")));
        m_before = Tree(m_app);
    }
    void Start() {
        m_process.setProcessEnvironment(m_environment);
        m_process.setWorkingDirectory("/");  // as a desktop's menu starts it
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QString::fromStdString((m_app / "calorview").string()), {});
        ASSERT_TRUE(m_process.waitForStarted(5000));
    }
    std::string Stop() {
        m_process.terminate();
        EXPECT_TRUE(m_process.waitForFinished(10000));
        EXPECT_EQ(m_process.exitCode(), 0);
        return m_process.readAll().toStdString();
    }

    CalorviewTest::TempDir m_dir;
    fs::path m_app = m_dir.path() / "usr/lib/calorview";
    QProcessEnvironment m_environment;
    std::set<std::string> m_before;
    QProcess m_process;
};

TEST_F(InstalledFormEndToEnd, KeepsEverythingInTheUsersFoldersAndNothingBesideTheProgram) {
    Start();
    const fs::path data = m_dir.path() / "data/calorview";
    const auto snapshotWritten = [&] {
        if (!fs::is_directory(data / "AlarmImages")) {
            return false;
        }
        for (const auto& entry : fs::directory_iterator(data / "AlarmImages")) {
            if (entry.path().extension() == ".png") {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(snapshotWritten, 20000)) << m_process.readAll().toStdString();
    const std::string output = Stop();
    EXPECT_TRUE(fs::exists(m_dir.path() / "home/.config/calorview/kvs.ini")) << output;
    EXPECT_FALSE(fs::is_empty(data / "QZLog"));
    for (const char* folder : {"AlarmRecords", "Records", "Snapshot"}) {
        EXPECT_TRUE(fs::is_directory(data / folder)) << folder;
    }
    EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(Tree(m_app), m_before) << "the program's own tree is left as installed";
}

TEST_F(InstalledFormEndToEnd, ADataFolderThatCannotBeMadeIsSaidAndThePictureGoesOn) {
    CalorviewTest::writeFile(m_dir.file("data"), "a file where the data folder would be");
    Start();
    QTest::qWait(3000);
    EXPECT_EQ(m_process.state(), QProcess::Running);
    const std::string output = Stop();
    EXPECT_NE(output.find("Calorview: " + m_dir.file("data") + "/calorview cannot be made"),
              std::string::npos)
        << output;
    EXPECT_TRUE(fs::exists(m_dir.path() / "home/.config/calorview/kvs.ini")) << output;
    EXPECT_EQ(Tree(m_app), m_before);
}
