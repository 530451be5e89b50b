// The settings page driven offscreen: what it shows, what each control stores, the toasts, the
// folder length rule, the spin box's focus rule and the width fitter.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSoundEffect>
#include <QSpinBox>
#include <QTest>
#include <QUrl>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "SettingPageTest.h"
#include "platform/LoginStart.h"
#include "settings/FileDialogs.h"
#include "settings/SettingStore.h"
#include "settings/SettingWindow.h"
#include "support/FakeDialogs.h"
#include "support/TempDir.h"
#include "ui/NotifyManager.h"
#include "ui/NotifyWidget.h"

namespace {

using CalorviewTest::FakeDialogs;
using CalorviewTest::readFile;
using CalorviewTest::TempDir;
using CalorviewTest::writeFile;

struct Toast {
    QString text;
    bool isError = false;
    bool operator==(const Toast& other) const = default;
};

void PrintTo(const Toast& toast, std::ostream* out) {
    *out << '"' << toast.text.toStdString() << '"' << (toast.isError ? " (error)" : "");
}

const Toast kChanged{QStringLiteral("Setting changed!"), false};
const Toast kTooLong{QStringLiteral("Path too long Setting Fail"), true};

// A path of exactly `bytes` bytes in UTF-8: a slash, then `unit` repeated.
QString pathOfBytes(int bytes, const QString& unit = QStringLiteral("a")) {
    return QStringLiteral("/") + unit.repeated((bytes - 1) / unit.toUtf8().size());
}

class SettingWindowTest : public SettingPageTest {
protected:
    template <typename Widget>
    Widget* child(const char* name) {
        auto* widget = page().findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    static std::vector<Toast> toasts() {
        std::vector<Toast> shown;
        for (const NotifyWidget* toast : NotifyManager::instance()->Toasts()) {
            shown.push_back(
                {toast->TextLabel()->text(), toast->Icon()->styleSheet().contains("alert_error")});
        }
        return shown;
    }

    void showActive() {
        page();
        host.show();
        QApplication::setActiveWindow(&host);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&host));
    }

    void click(QWidget* widget) {
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(8, widget->height() / 2));
    }
};

TEST_F(SettingWindowTest, AFreshInstallationShowsDefaultsAndWritesOnlyTheTwoVideoFolders) {
    EXPECT_EQ(page().objectName(), "SettingWindow");
    for (const char* name : {"checkBox", "checkBox_2", "checkBox_Recode", "checkBox_Snapshot"}) {
        EXPECT_TRUE(child<QCheckBox>(name)->isChecked()) << name;
    }
    EXPECT_EQ(child<QSpinBox>("spinBox")->value(), 1);
    auto* combo = child<QComboBox>("comboBox_3");
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->currentText(), "mp4");
    const std::vector<std::pair<const char*, QString>> edits = {
        {"lineEdit_5", "alarm1.wav"},    {"lineEdit_3", "./Records"},
        {"lineEdit_4", "./Snapshot"},    {"lineEdit_6", "./AlarmRecords"},
        {"lineEdit_7", "./AlarmImages"},
    };
    for (const auto& [name, text] : edits) {
        EXPECT_EQ(child<QLineEdit>(name)->text(), text) << name;
        EXPECT_TRUE(child<QLineEdit>(name)->isReadOnly()) << name;
    }
    EXPECT_TRUE(toasts().empty());

    QCoreApplication::processEvents();
    const std::string ini = readFile(dir.file("kvs.ini"));
    EXPECT_NE(ini.find("[Video]\nRecordPath=./Records\nSnapshotPath=./Snapshot\n"),
              std::string::npos)
        << ini;
    EXPECT_EQ(ini.find("[Alarm]"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("RecordType"), std::string::npos) << ini;
}

TEST_F(SettingWindowTest, StoredValuesAreShownClampedOrUnselectedAndNotRewritten) {
    writeFile(dir.file("kvs.ini"),
              "[Alarm]\nAlarmEnabled=false\nAlarmRecordEnabled=false\nAlarmSoundPlayTimes=40\n"
              "AlarmSoundFile=/s/bell.wav\nAlarmImages=/a/img\nAlarmRecords=/a/rec\n"
              "[Video]\nRecordType=1\nRecordPath=/v/rec\nSnapshotPath=/v/snap\n");
    struct Case {
        int loops, shownLoops, type, shownIndex;
    };
    for (const Case& c : {Case{40, 15, 1, 1}, Case{0, 1, 2, -1}, Case{9, 9, -1, -1}}) {
        SCOPED_TRACE(c.loops);
        SettingStore fromFile;
        fromFile.setPath(QString::fromStdString(dir.file("kvs.ini")));
        fromFile.setAlarmSoundPlayTimes(c.loops);
        fromFile.setRecordType(c.type);
        SettingWindow shown(nullptr, fromFile, std::make_unique<FakeDialogs>());
        const auto box = [&](const char* name) {
            return shown.findChild<QCheckBox*>(name)->isChecked();
        };
        const auto edit = [&](const char* name) {
            return shown.findChild<QLineEdit*>(name)->text();
        };
        EXPECT_FALSE(box("checkBox"));
        EXPECT_TRUE(box("checkBox_2"));
        EXPECT_FALSE(box("checkBox_Recode"));
        EXPECT_TRUE(box("checkBox_Snapshot"));
        EXPECT_EQ(shown.findChild<QSpinBox*>("spinBox")->value(), c.shownLoops);
        EXPECT_EQ(shown.findChild<QComboBox*>("comboBox_3")->currentIndex(), c.shownIndex);
        EXPECT_EQ(edit("lineEdit_5"), "/s/bell.wav");
        EXPECT_EQ(edit("lineEdit_3"), "/v/rec");
        EXPECT_EQ(edit("lineEdit_4"), "/v/snap");
        EXPECT_EQ(edit("lineEdit_6"), "/a/rec");
        EXPECT_EQ(edit("lineEdit_7"), "/a/img");
        EXPECT_EQ(fromFile.alarmSoundPlayTimes(), c.loops);
        EXPECT_EQ(fromFile.recordType(), c.type);
    }
}

TEST_F(SettingWindowTest, EachSwitchStoresItsStateAndConfirmsAndHighTempAlarmSwitchesThePanel) {
    QSignalSpy switched(&page(), &SettingWindow::alarmSwitched);
    const std::vector<std::pair<const char*, std::function<bool()>>> switches = {
        {"checkBox", [this] { return store.alarmEnabled(); }},
        {"checkBox_2", [this] { return store.alarmSoundEnabled(); }},
        {"checkBox_Recode", [this] { return store.alarmRecordEnabled(); }},
        {"checkBox_Snapshot", [this] { return store.alarmSnapshotEnabled(); }},
    };
    showActive();
    size_t expectedToasts = 0;
    for (const auto& [name, stored] : switches) {
        for (const bool expected : {false, true}) {
            SCOPED_TRACE(std::string(name) + (expected ? " on" : " off"));
            click(child<QCheckBox>(name));
            EXPECT_EQ(stored(), expected);
            if (name == std::string("checkBox")) {
                ASSERT_FALSE(switched.isEmpty());
                EXPECT_EQ(switched.takeLast().at(0).toBool(), expected);
            }
            EXPECT_TRUE(switched.isEmpty()) << "only High Temp Alarm switches the panel";
            ASSERT_EQ(toasts().size(), ++expectedToasts);
            EXPECT_EQ(toasts().back(), kChanged);
        }
    }
}

// A hand-edited value out of 0 to 10 is used and shown limited (it bounds the memory an alarm
// recording's pre-alarm seconds take); each step of the spin box is stored at once.
TEST_F(SettingWindowTest, PreAlarmSecondsAreShownLimitedAndEachStepIsStoredAtOnce) {
    store.setPreAlarmSeconds(40);
    EXPECT_EQ(store.preAlarmSeconds(), 10);
    showActive();
    auto* seconds = child<QSpinBox>("spinBox_PreAlarm");
    EXPECT_EQ(seconds->value(), 10);
    EXPECT_TRUE(toasts().empty()) << "showing is no change";
    seconds->setFocus();
    QTest::keyClick(seconds, Qt::Key_Down);
    EXPECT_EQ(store.preAlarmSeconds(), 9);
    EXPECT_EQ(toasts(), (std::vector<Toast>{kChanged}));
    store.setPreAlarmSeconds(-5);
    EXPECT_EQ(store.preAlarmSeconds(), 0);
}

TEST_F(SettingWindowTest, RecordTypeIsStoredOnEveryActivationEvenOfTheSameItem) {
    showActive();
    auto* combo = child<QComboBox>("comboBox_3");
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_EQ(store.recordType(), 1);
    store.setRecordType(5);  // shows that choosing the same item again writes it again
    emit combo->activated(1);
    EXPECT_EQ(store.recordType(), 1);
    EXPECT_EQ(toasts(), (std::vector<Toast>{kChanged, kChanged}));
}

TEST_F(SettingWindowTest, FolderBrowseStoresChosenFoldersOf260BytesAtMost) {
    struct Control {
        const char* button;
        const char* edit;
        QString (SettingStore::*stored)() const;
    };
    const std::vector<Control> controls = {
        {"pushButton_5", "lineEdit_3", &SettingStore::recordPath},
        {"pushButton_6", "lineEdit_4", &SettingStore::snapshotPath},
        {"pushButton_8", "lineEdit_6", &SettingStore::alarmRecordsPath},
        {"pushButton_9", "lineEdit_7", &SettingStore::alarmImagesPath},
    };
    struct Answer {
        const char* what;
        QString path;
        std::vector<Toast> toasts;  // empty: nothing changes
    };
    const QString twoBytes = QString::fromUtf8("\xc3\xa9");  // one character, two bytes
    const std::vector<Answer> answers = {
        {"a folder", "/data/picked", {kChanged}},
        {"cancel", "", {}},
        {"exactly 260 bytes", pathOfBytes(260), {kChanged}},
        {"261 bytes", pathOfBytes(261), {kTooLong}},
        {"259 bytes in 130 characters", pathOfBytes(259, twoBytes), {kChanged}},
        {"263 bytes in 132 characters", pathOfBytes(263, twoBytes), {kTooLong}},
    };
    page();
    for (const Control& control : controls) {
        for (const Answer& answer : answers) {
            SCOPED_TRACE(std::string(control.button) + ": " + answer.what);
            auto* edit = child<QLineEdit>(control.edit);
            const QString before = edit->text();
            ASSERT_EQ((store.*control.stored)(), before);
            const size_t toastsBefore = toasts().size();
            dialogs->starts.clear();
            dialogs->answer = answer.path;
            child<QPushButton>(control.button)->click();

            EXPECT_EQ(dialogs->starts, QStringList{before});
            const bool changed = answer.toasts == std::vector<Toast>{kChanged};
            EXPECT_EQ(edit->text(), changed ? answer.path : before);
            EXPECT_EQ((store.*control.stored)(), changed ? answer.path : before);
            const std::vector<Toast> shown = toasts();
            EXPECT_EQ(std::vector<Toast>(shown.begin() + toastsBefore, shown.end()), answer.toasts);
        }
    }
}

TEST_F(SettingWindowTest, AChosenSoundFileOfAnyLengthIsStoredAndReachesTheAlarmPanel) {
    QSignalSpy soundChosen(&page(), &SettingWindow::alarmSoundFileChosen);
    const std::vector<QString> choices = {QStringLiteral("/sounds/siren.wav"),
                                          pathOfBytes(400) + QStringLiteral(".wav"), QString()};
    QString expected = QStringLiteral("alarm1.wav");
    for (const QString& chosen : choices) {
        SCOPED_TRACE(chosen.left(20).toStdString());
        dialogs->starts.clear();
        dialogs->filters.clear();
        dialogs->answer = chosen;
        const QString before = child<QLineEdit>("lineEdit_5")->text();
        child<QPushButton>("pushButton_7")->click();
        EXPECT_EQ(dialogs->starts, QStringList{before});
        EXPECT_EQ(dialogs->filters, QStringList{"wave file (*.wav)"});
        expected = chosen.isEmpty() ? expected : chosen;
        EXPECT_EQ(child<QLineEdit>("lineEdit_5")->text(), expected);
        EXPECT_EQ(store.alarmSoundFile(), expected);
        if (chosen.isEmpty()) {
            EXPECT_TRUE(soundChosen.isEmpty()) << "a cancelled choice reaches no one";
        } else {
            ASSERT_EQ(soundChosen.size(), 1);
            EXPECT_EQ(soundChosen.takeFirst().at(0).toString(), expected);
        }
    }
    EXPECT_EQ(toasts(), (std::vector<Toast>{kChanged, kChanged}));
}

TEST_F(SettingWindowTest, LoopCountIsStoredWhenTheSpinBoxLosesFocusNotBefore) {
    showActive();
    auto* spin = child<QSpinBox>("spinBox");
    const QPoint emptySpot(page().width() - 5, page().height() - 5);
    ASSERT_EQ(page().childAt(emptySpot), nullptr);

    spin->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(spin, Qt::Key_Up);
    QTest::keyClick(spin, Qt::Key_Up);
    EXPECT_EQ(spin->value(), 3);
    EXPECT_EQ(store.alarmSoundPlayTimes(), 1) << "the arrows alone store nothing";
    EXPECT_TRUE(toasts().empty());

    QTest::mouseClick(&page(), Qt::LeftButton, {}, emptySpot);
    EXPECT_FALSE(spin->hasFocus()) << "a click on the page takes the focus";
    EXPECT_EQ(store.alarmSoundPlayTimes(), 3);
    EXPECT_EQ(toasts(), std::vector<Toast>{kChanged});

    store.setAlarmSoundPlayTimes(9);  // unchanged, it is still stored and confirmed
    spin->setFocus(Qt::MouseFocusReason);
    QTest::mouseClick(&page(), Qt::LeftButton, {}, emptySpot);
    EXPECT_EQ(store.alarmSoundPlayTimes(), 3);
    EXPECT_EQ(toasts(), (std::vector<Toast>{kChanged, kChanged}));
}

// The alarm group keeps 400 pixels and the station events group takes the rest beside it; below
// them the video group keeps 580 pixels and the storage group takes the rest.
TEST_F(SettingWindowTest, FitWidthFollowsThePageWidthAndIgnoresItsArguments) {
    struct Fit {
        int page, alarm, events, video, storage;
    };
    for (const Fit& f : {Fit{1280, 400, 800, 580, 620}, Fit{839, 400, 359, 580, 179},
                         Fit{640, 400, 160, 580, 0}, Fit{61, 1, 0, 1, 0}, Fit{40, 0, 0, 0, 0}}) {
        SCOPED_TRACE(f.page);
        page().setGeometry(0, 50, f.page, 670);
        page().fitWidth(7, 9);
        const std::pair<const char*, int> widths[] = {
            {"groupBox", f.alarm},   {"line_2", f.alarm}, {"groupBox_Events", f.events},
            {"groupBox_3", f.video}, {"line", f.video},   {"groupBox_4", f.storage},
            {"line_3", f.storage}};
        for (const auto& [name, width] : widths) {
            EXPECT_EQ(child<QWidget>(name)->width(), width) << name;
        }
        EXPECT_EQ(child<QWidget>("groupBox_Events")->geometry().topLeft(),
                  QPoint(30 + f.alarm + 20, 30));
        EXPECT_EQ(child<QWidget>("groupBox_4")->geometry().topLeft(),
                  QPoint(30 + f.video + 20, 400));
    }
    // At the main window's default size, every control lies inside its group, every group inside
    // the page (shown: a hidden widget is told of its size only then).
    page().setGeometry(0, 50, 1280, 670);
    page().fitWidth(1280, 670);
    host.show();
    for (const QWidget* widget : page().findChildren<QWidget*>()) {
        if (widget->window() != page().window() || widget->objectName().startsWith("qt_")) {
            continue;  // the combo box's popup, the spin boxes' own parts
        }
        EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()))
            << widget->objectName().toStdString();
    }
}

// The snapshot rate and the three storage rules show their stored value and store each step at
// once with the toast; only the storage rules tell the retention keeper.
TEST_F(SettingWindowTest, SnapshotRateAndStorageRulesStoreEachStepAndStorageRulesSignal) {
    using S = SettingStore;
    const struct {
        const char* name;
        int max;
        int (S::*stored)() const;
        void (S::*store)(int);
        bool storageRule;
    } boxes[] = {
        {"spinBox_SnapshotRate", 25, &S::alarmSnapshotsPerSecond, &S::setAlarmSnapshotsPerSecond,
         false},
        {"spinBox_FreeSpaceFloor", 4096, &S::freeSpaceFloorGiB, &S::setFreeSpaceFloorGiB, true},
        {"spinBox_AlarmKeepDays", 3650, &S::alarmKeepDays, &S::setAlarmKeepDays, true},
        {"spinBox_RecordKeepDays", 3650, &S::recordKeepDays, &S::setRecordKeepDays, true},
    };
    for (const auto& b : boxes) {
        (store.*b.store)(3);
    }
    showActive();
    QSignalSpy rules(&page(), &SettingWindow::storageRulesChanged);
    EXPECT_TRUE(toasts().empty()) << "showing is no change";
    size_t expectedToasts = 0;
    for (const auto& b : boxes) {
        SCOPED_TRACE(b.name);
        auto* box = child<QSpinBox>(b.name);
        EXPECT_EQ(box->value(), 3);
        EXPECT_EQ(box->minimum(), 0);
        EXPECT_EQ(box->maximum(), b.max);
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Up);
        EXPECT_EQ((store.*b.stored)(), 4);
        ASSERT_EQ(toasts().size(), ++expectedToasts);
        EXPECT_EQ(toasts().back(), kChanged);
        EXPECT_EQ(rules.size(), b.storageRule ? 1 : 0);
        rules.clear();
    }
}

// Typed digits of a storage rule are stored on Enter, not one by one: on the way to 30 days, a
// keep time of 3 days would already delete files.
TEST_F(SettingWindowTest, ATypedStorageRuleIsStoredOnceOnEnter) {
    const std::pair<const char*, int (SettingStore::*)() const> rules[] = {
        {"spinBox_FreeSpaceFloor", &SettingStore::freeSpaceFloorGiB},
        {"spinBox_AlarmKeepDays", &SettingStore::alarmKeepDays},
        {"spinBox_RecordKeepDays", &SettingStore::recordKeepDays}};
    showActive();
    QSignalSpy changed(&page(), &SettingWindow::storageRulesChanged);
    for (const auto& [name, stored] : rules) {
        SCOPED_TRACE(name);
        auto* box = child<QSpinBox>(name);
        const int before = (store.*stored)();
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, "30");
        EXPECT_EQ((store.*stored)(), before);
        EXPECT_TRUE(changed.isEmpty());
        QTest::keyClick(box, Qt::Key_Return);
        EXPECT_EQ((store.*stored)(), 30);
        EXPECT_EQ(changed.size(), 1);
        changed.clear();
    }
    EXPECT_EQ(toasts().size(), 3u);
}

}  // namespace

// "Start when I log in" is the autostart entry's existence: written (a valid desktop entry that
// starts this folder's program from it, whatever its name holds), removed, found at the next
// start; a folder that cannot be made is a failed setting.
TEST_F(SettingWindowTest, StartWhenILogInWritesAndRemovesTheAutostartEntry) {
    // As the program decides it at start: the test program's folder, portable.
    AppFolders::Install(AppFolders::Decide(QCoreApplication::applicationDirPath(), {}));
    const std::string entry = dir.file("config/autostart/calorview.desktop");
    showActive();
    QCheckBox* box = child<QCheckBox>("checkBox_LoginStart");
    EXPECT_FALSE(box->isChecked());
    click(box);
    ASSERT_TRUE(box->isChecked());
    const std::string text = readFile(entry);
    EXPECT_NE(text.find("Exec=\"" + QCoreApplication::applicationDirPath().toStdString() +
                        "/calorview\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nPath=" + QCoreApplication::applicationDirPath().toStdString()),
              std::string::npos);
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry + "'").c_str()), 0);
    }
    EXPECT_EQ(toasts().back(), kChanged);
    click(box);
    EXPECT_FALSE(std::filesystem::exists(entry));

    writeFile(entry, "[Desktop Entry]\n");
    SettingWindow again(nullptr, store, std::make_unique<FakeDialogs>());
    EXPECT_TRUE(again.findChild<QCheckBox*>("checkBox_LoginStart")->isChecked());

    std::filesystem::remove_all(dir.file("config"));
    writeFile(dir.file("config"), "a file where the folder would be");
    click(box);
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(toasts().back().isError);
}

TEST(LoginStart, APortableFolderWithAnyNameIsQuotedAsTheEntryRulesSay) {
    AppFolders folders;
    folders.appDir = "/opt/a b/$HOME \"q\" 100%";
    const QByteArray entry = LoginStart(folders, {}).Entry();
    EXPECT_TRUE(entry.contains("Exec=\"/opt/a b/\\\\$HOME \\\\\"q\\\\\" 100%%/calorview\"\n"))
        << entry.toStdString();
    folders.installed = true;
    EXPECT_TRUE(LoginStart(folders, {}).Entry().contains("\nExec=calorview\n"));
    EXPECT_FALSE(LoginStart(folders, {}).Entry().contains("Path="));
}
