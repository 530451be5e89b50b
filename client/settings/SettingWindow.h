// The settings page: alarm options, the station events (StationEventsGroup), the four storage
// folders and the rules that delete old files. Every control writes its key into the SettingStore
// the moment it changes (no OK or Cancel) and most confirm with the toast "Setting changed!". The
// page reads the store only while it is built.
//
// GUI thread only, like every widget.
#pragma once

#include <QWidget>

#include <memory>

#include "platform/LoginStart.h"
#include "settings/FileDialogs.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class SettingStore;
class StationEventsGroup;

class SettingWindow : public QWidget {
    Q_OBJECT

public:
    // Longest folder path accepted, in bytes of its local 8-bit form.
    static constexpr int kMaxPathBytes = 260;

    // `parent` (the main window) emits deviceConnected().
    explicit SettingWindow(QWidget* parent);
    // The same on another store and with other pickers (tests).
    SettingWindow(QWidget* parent, SettingStore& store, std::unique_ptr<FileDialogs> dialogs);
    ~SettingWindow() override;

    // Width the alarm group keeps beside the station events group: room for its rows.
    static constexpr int kAlarmGroupWidth = 400;
    // Width the video group keeps beside the storage group: room for its folder rows.
    static constexpr int kVideoGroupWidth = 580;

    // Follows the page's width: the alarm and station events groups share it above, the video
    // and storage groups below; the two arguments are ignored. Call after setting the geometry.
    void fitWidth(int width, int height);

    // Its changed() follows each stored change, after the toast.
    StationEventsGroup* stationEventsGroup() const { return m_pStationEvents; }

signals:
    // "High Temp Alarm" was switched; the alarm panel follows it (the main window connects it).
    void alarmSwitched(bool enabled);
    // A new alarm sound file was chosen and stored.
    void alarmSoundFileChosen(const QString& path);
    // The free-space floor or one of the two keep-days values was stored; the retention keeper
    // follows it (the main window connects it).
    void storageRulesChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private slots:
    void on_checkBox_clicked();
    void on_checkBox_LoginStart_clicked();
    void on_checkBox_2_clicked();
    void on_spinBox_valueChanged(int value);
    void on_comboBox_3_activated(int index);
    void on_lineEdit_3_textChanged(const QString& text);
    void on_lineEdit_4_textChanged(const QString& text);
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_7_clicked();
    void on_checkBox_Recode_clicked();
    void on_spinBox_PreAlarm_valueChanged(int value);
    void on_spinBox_SnapshotRate_valueChanged(int value);
    void on_spinBox_FreeSpaceFloor_valueChanged(int value);
    void on_spinBox_AlarmKeepDays_valueChanged(int value);
    void on_spinBox_RecordKeepDays_valueChanged(int value);
    void on_checkBox_Snapshot_clicked();
    void on_pushButton_8_clicked();
    void on_pushButton_9_clicked();
    void onDeviceConnected();

private:
    void setupUi();
    void retranslateUi();
    void loadSettings();
    void browseFolder(QLineEdit* edit, void (SettingStore::*store)(const QString&));
    void showChanged();
    // A storage rule was stored: the toast and storageRulesChanged.
    void storageRuleChanged();

    SettingStore& m_Store;
    LoginStart m_LoginStart;
    std::unique_ptr<FileDialogs> m_pDialogs;

    QGroupBox* groupBox = nullptr;
    QCheckBox* checkBox = nullptr;
    QCheckBox* checkBox_LoginStart = nullptr;  // "Start when I log in"
    QCheckBox* checkBox_2 = nullptr;
    QSpinBox* spinBox = nullptr;
    QLineEdit* lineEdit_5 = nullptr;
    QCheckBox* checkBox_Recode = nullptr;
    QSpinBox* spinBox_PreAlarm = nullptr;      // "Pre-alarm seconds"
    QSpinBox* spinBox_SnapshotRate = nullptr;  // "Snapshots per second"
    QCheckBox* checkBox_Snapshot = nullptr;
    QFrame* line_2 = nullptr;
    StationEventsGroup* m_pStationEvents = nullptr;
    QGroupBox* groupBox_3 = nullptr;
    QLineEdit* lineEdit_3 = nullptr;
    QLineEdit* lineEdit_4 = nullptr;
    QComboBox* comboBox_3 = nullptr;
    QLineEdit* lineEdit_6 = nullptr;
    QLineEdit* lineEdit_7 = nullptr;
    QFrame* line = nullptr;
    QGroupBox* groupBox_4 = nullptr;  // "Storage"
    QSpinBox* spinBox_FreeSpaceFloor = nullptr;
    QSpinBox* spinBox_AlarmKeepDays = nullptr;
    QSpinBox* spinBox_RecordKeepDays = nullptr;
    QLabel* label_18 = nullptr;  // what the floor does
    QFrame* line_3 = nullptr;
};
