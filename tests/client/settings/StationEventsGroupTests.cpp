// The settings page's station events group driven offscreen: what each row stores, the password
// file, refused prefixes, the state lines and the two layouts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <filesystem>
#include <functional>
#include <string>

#include "SettingPageTest.h"
#include "settings/SettingStore.h"
#include "settings/SettingWindow.h"
#include "settings/StationEventsGroup.h"
#include "support/CapturedMessages.h"
#include "support/FakeDialogs.h"
#include "support/TempDir.h"
#include "ui/NotifyManager.h"
#include "ui/NotifyWidget.h"

namespace {

using CalorviewTest::readFile;
namespace fs = std::filesystem;

const QString kAbsent = QStringLiteral("<absent>");

class StationEventsGroupTest : public SettingPageTest {
protected:
    // The page, built on first use with a spy on the group's changed().
    StationEventsGroup& group() {
        StationEventsGroup* events = page().stationEventsGroup();
        if (m_changed == nullptr) {
            m_changed = std::make_unique<QSignalSpy>(events, &StationEventsGroup::changed);
        }
        return *events;
    }
    template <typename Widget = QWidget>
    Widget* child(const char* name) {
        return group().findChild<Widget*>(QString::fromLatin1(name));
    }
    qsizetype changes() {
        group();
        return m_changed->size();
    }

    // Types `text` over the line's or spin box's text and presses Enter; nothing is stored before.
    void type(const char* name, const QString& text) {
        QWidget* edit = child(name);
        const qsizetype before = changes();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
        EXPECT_EQ(changes(), before) << name << ": stored before Enter";
        QTest::keyClick(edit, Qt::Key_Return);
    }
    QString stored(const QString& key) const { return store.getString("Mqtt/" + key, kAbsent); }
    std::string ini() {
        QCoreApplication::processEvents();  // QSettings writes the file from the event loop
        return readFile(dir.file("kvs.ini"));
    }

private:
    std::unique_ptr<QSignalSpy> m_changed;
};

TEST_F(StationEventsGroupTest, EachRowStoresItsKeyOnceWithTheToastAndChanged) {
    const struct {
        std::function<void()> act;
        const char* key;
        QString value;  // kAbsent: the key is removed
        int changes;
    } rows[] = {
        {[&] { child<QCheckBox>("checkBox_Publish")->click(); }, "Enabled", "true", 1},
        {[&] { type("lineEdit_Host", " broker.site "); }, "Host", "broker.site", 1},
        {[&] { type("lineEdit_Host", "broker.site"); }, "Host", "broker.site", 0},
        {[&] { type("spinBox_Port", "8883"); }, "Port", "8883", 1},
        {[&] { child<QSpinBox>("spinBox_Port")->setValue(0); }, "Port", kAbsent, 1},
        {[&] { type("lineEdit_Station", "gate-3"); }, "Station", "gate-3", 1},
        {[&] { type("lineEdit_TopicPrefix", "site/g3"); }, "TopicPrefix", "site/g3", 1},
        {[&] { type("lineEdit_TopicPrefix", ""); }, "TopicPrefix", kAbsent, 1},
        {[&] { type("lineEdit_Username", "gate-3"); }, "Username", "gate-3", 1},
        {[&] { type("lineEdit_PasswordFile", "/etc/pw"); }, "PasswordFile", "/etc/pw", 1},
        {[&] { type("lineEdit_CaFile", "/etc/ca.pem"); }, "CaFile", "/etc/ca.pem", 1},
        {[&] { QTest::keyClick(child("comboBox_Qos"), Qt::Key_Down); }, "Qos", "2", 1},
        {[&] { type("spinBox_PictureKiB", "1024"); }, "MaxPictureKiB", "1024", 1},
        {[&] { child<QSpinBox>("spinBox_HealthSeconds")->setValue(0); }, "HealthSeconds", "0", 1},
        {[&] { child<QCheckBox>("checkBox_Discovery")->click(); }, "Discovery", "true", 1},
        {[&] { type("lineEdit_DiscoveryPrefix", "ha"); }, "DiscoveryPrefix", "ha", 1},
    };
    int expected = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        row.act();
        EXPECT_EQ(stored(row.key), row.value);
        EXPECT_EQ(changes(), expected += row.changes);
    }
    const auto& toasts = NotifyManager::instance()->Toasts();
    EXPECT_EQ(toasts.size(), expected);
    EXPECT_EQ(toasts.back()->TextLabel()->text(), "Setting changed!");
}

TEST_F(StationEventsGroupTest, StoredKeysAreShownAndDefaultsArePlaceholders) {
    for (const auto& [key, value] : {std::pair{"Port", "1884"},
                                     {"Station", "a/b"},
                                     {"Qos", "2"},
                                     {"MaxPictureKiB", "9"},
                                     {"PasswordFile", "/etc/calorview/pw"}}) {
        store.setString(QStringLiteral("Mqtt/") + key, value);
    }
    EXPECT_EQ(child<QSpinBox>("spinBox_Port")->value(), 1884);
    EXPECT_EQ(child<QComboBox>("comboBox_Qos")->currentText(), "2");
    EXPECT_EQ(child<QSpinBox>("spinBox_PictureKiB")->value(), SettingStore::kMinMqttPictureKiB);
    EXPECT_EQ(child<QLineEdit>("lineEdit_TopicPrefix")->placeholderText(), "calorview/a_b");
    EXPECT_EQ(child<QLineEdit>("lineEdit_Password")->placeholderText(), "stored in pw");
    EXPECT_EQ(stored("MaxPictureKiB"), "9") << "showing is no change";
    EXPECT_EQ(changes(), 0);
}

TEST_F(StationEventsGroupTest, ThePasswordGoesOwnerOnlyIntoItsFileNeverIntoKvsIniOrIsTold) {
    const fs::path named = dir.path() / "named-pw";
    CalorviewTest::writeFile(named.string(), "old\n");
    fs::permissions(named, fs::perms(0644));  // a file written anew keeps its mode otherwise
    for (const auto& [typedFile, written] : {std::pair{QString(), dir.path() / "mqtt-password"},
                                             {QString::fromStdString(named.string()), named}}) {
        SCOPED_TRACE(written);
        type("lineEdit_PasswordFile", typedFile);
        const qsizetype before = changes();
        type("lineEdit_Password", "s3cret pass");
        EXPECT_EQ(readFile(written.string()), "s3cret pass\n");
        EXPECT_EQ(fs::status(written).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(stored("PasswordFile"), QString::fromStdString(written.string()));
        EXPECT_EQ(child<QLineEdit>("lineEdit_PasswordFile")->text(), stored("PasswordFile"));
        auto* password = child<QLineEdit>("lineEdit_Password");
        EXPECT_EQ(password->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(password->text().isEmpty());
        EXPECT_EQ(password->placeholderText(),
                  "stored in " + QString::fromStdString(written.filename().string()));
        EXPECT_EQ(changes(), before + 1);
        EXPECT_EQ(ini().find("s3cret"), std::string::npos);
    }
    // A file that cannot be written: told beside the field and logged once, nothing changed.
    type("lineEdit_PasswordFile", QString::fromStdString(dir.file("missing/pw")));
    const qsizetype before = changes();
    CalorviewTest::CapturedMessages log;
    type("lineEdit_Password", "s3cret");
    EXPECT_EQ(log.count("Mqtt: "), 1);
    EXPECT_TRUE(child<QLabel>("label_PasswordNote")->text().startsWith("Not stored: "));
    EXPECT_EQ(child<QLineEdit>("lineEdit_Password")->text(), "s3cret") << "kept to try again";
    EXPECT_EQ(changes(), before);
}

TEST_F(StationEventsGroupTest, APrefixWithAWildcardIsRefusedAndShownRed) {
    for (const auto& [name, key] : {std::pair{"lineEdit_TopicPrefix", "TopicPrefix"},
                                    {"lineEdit_DiscoveryPrefix", "DiscoveryPrefix"}}) {
        SCOPED_TRACE(name);
        for (const char* refused : {"site/+/x", "site/#"}) {
            type(name, refused);
            EXPECT_EQ(stored(key), kAbsent);
            EXPECT_TRUE(child(name)->property("refused").toBool());
        }
        type(name, "site/x");
        EXPECT_EQ(stored(key), "site/x");
        EXPECT_FALSE(child(name)->property("refused").toBool());
    }
    EXPECT_EQ(changes(), 2);
}

TEST_F(StationEventsGroupTest, TheStateLinesSayWhatThePublisherDoes) {
    auto* state = child<QLabel>("label_State");
    auto* outbox = child<QLabel>("label_Outbox");
    EXPECT_EQ(state->text(), "Not publishing");
    EXPECT_EQ(outbox->text(), "Events waiting to be sent: 0");
    const QDateTime today(QDate::currentDate(), QTime(8, 9, 10));
    const struct {
        StationEventsGroup::State state;
        const char* text;
    } cases[] = {
        {{false, true, today, "refused", 4}, "Not publishing"},
        {{true, true, today, {}, 0}, "Connected since 08:09:10"},
        {{true, true, QDateTime(QDate(2024, 3, 5), QTime(23, 1, 2)), {}, 0},
         "Connected since 2024-03-05 23:01:02"},
        {{true, false, {}, "h:1883 refused", 0}, "Not connected: h:1883 refused"},
        {{true, false, {}, {}, 12345}, "Connecting…"},
    };
    for (const auto& c : cases) {
        group().ShowState(c.state);
        EXPECT_EQ(state->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(outbox->text(), QString("Events waiting to be sent: %1").arg(c.state.pending));
    }
}

// Two columns beside the alarm group on a normal page; one scrolled column on a narrow one. No
// row covers another either way.
TEST_F(StationEventsGroupTest, RowsStandInTwoColumnsOrScrollInOneWithoutOverlapping) {
    page();
    host.show();  // a hidden widget is told of its size only when shown
    for (const auto& [width, twoColumns] : {std::pair{1280, true}, {1024, false}, {839, false}}) {
        SCOPED_TRACE(width);
        page().setGeometry(0, 50, width, 650);
        page().fitWidth(width, 650);
        EXPECT_EQ(group().geometry(), QRect(450, 30, width - 480, 341));
        const auto* scroll = child<QScrollArea>("scrollArea_Events");
        const QWidget* rows = scroll->widget();
        EXPECT_EQ(rows->height() <= scroll->height(), twoColumns);
        EXPECT_EQ(child("lineEdit_Station")->y() < child("lineEdit_Password")->y(), twoColumns);
        const QList<QWidget*> parts = rows->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (qsizetype i = 0; i < parts.size(); ++i) {
            EXPECT_TRUE(rows->rect().contains(parts[i]->geometry()));
            for (qsizetype j = i + 1; j < parts.size(); ++j) {
                EXPECT_FALSE(parts[i]->geometry().intersects(parts[j]->geometry()))
                    << parts[i]->objectName().toStdString() << " / "
                    << parts[j]->objectName().toStdString();
            }
        }
    }
}

}  // namespace
