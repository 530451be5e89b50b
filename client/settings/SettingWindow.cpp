#include "settings/SettingWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>

#include "settings/QtFileDialogs.h"
#include "settings/SettingStore.h"
#include "settings/StationEventsGroup.h"
#include "ui/NotifyManager.h"
#include "ui/StyleSheetBackground.h"

namespace {

// Creates a child with its object name and geometry, the way a Designer form does.
template <typename Widget>
Widget* makeChild(QWidget* parent, const char* name, int x, int y, int width, int height) {
    auto* widget = new Widget(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, width, height);
    return widget;
}

QFrame* makeLine(QWidget* parent, const char* name, int x, int y, int width, int height,
                 QFrame::Shadow shadow) {
    auto* frame = makeChild<QFrame>(parent, name, x, y, width, height);
    frame->setFrameShape(QFrame::HLine);
    frame->setFrameShadow(shadow);
    return frame;
}

}  // namespace

SettingWindow::SettingWindow(QWidget* parent)
    : SettingWindow(parent, SettingStore::instance(), std::make_unique<QtFileDialogs>()) {}

SettingWindow::SettingWindow(QWidget* parent, SettingStore& store,
                             std::unique_ptr<FileDialogs> dialogs)
    : QWidget(parent),
      m_Store(store),
      m_LoginStart(AppFolders::Current(), QProcessEnvironment::systemEnvironment()),
      m_pDialogs(std::move(dialogs)) {
    setupUi();
    retranslateUi();
    QMetaObject::connectSlotsByName(this);
    connect(m_pStationEvents, &StationEventsGroup::changed, this, &SettingWindow::showChanged);

    // A click on an empty part of the page takes the focus from the spin box, which stores it.
    setFocusPolicy(Qt::ClickFocus);
    spinBox->installEventFilter(this);
    // A list view lets the style sheet reach the popup's items.
    comboBox_3->setView(new QListView(comboBox_3));
    if (parent != nullptr && parent->metaObject()->indexOfSignal("deviceConnected()") >= 0) {
        connect(parent, SIGNAL(deviceConnected()), this, SLOT(onDeviceConnected()));
    }
    loadSettings();
}

SettingWindow::~SettingWindow() = default;

void SettingWindow::setupUi() {
    if (objectName().isEmpty()) {
        setObjectName(QStringLiteral("SettingWindow"));
    }
    resize(839, 692);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    QFont pageFont;
    pageFont.setFamily(QStringLiteral("微软雅黑"));
    setFont(pageFont);

    // The pre-alarm row sits under "Alarm Recode" and the snapshot rate row under it; the sound
    // rows and the video and storage boxes make room for them, 80 pixels lower than they would
    // be without them.
    groupBox = makeChild<QGroupBox>(this, "groupBox", 30, 30, kAlarmGroupWidth, 341);
    checkBox = makeChild<QCheckBox>(groupBox, "checkBox", 30, 50, 121, 22);
    // A station's own option, beside the alarm switch: not a key of kvs.ini but the desktop's
    // autostart entry.
    checkBox_LoginStart = makeChild<QCheckBox>(groupBox, "checkBox_LoginStart", 200, 50, 190, 22);
    checkBox_2 = makeChild<QCheckBox>(groupBox, "checkBox_2", 50, 210, 181, 22);
    makeChild<QLabel>(groupBox, "label_3", 50, 248, 81, 22);
    spinBox = makeChild<QSpinBox>(groupBox, "spinBox", 120, 248, 42, 22);
    spinBox->setRange(1, 15);
    makeChild<QLabel>(groupBox, "label_2", 50, 290, 71, 22);
    lineEdit_5 = makeChild<QLineEdit>(groupBox, "lineEdit_5", 120, 290, 151, 22);
    makeChild<QPushButton>(groupBox, "pushButton_7", 280, 290, 75, 22);
    makeChild<QLabel>(groupBox, "label_12", 70, 130, 141, 22);
    spinBox_PreAlarm = makeChild<QSpinBox>(groupBox, "spinBox_PreAlarm", 210, 130, 42, 22);
    spinBox_PreAlarm->setRange(0, SettingStore::kMaxPreAlarmSeconds);
    makeChild<QLabel>(groupBox, "label_13", 70, 170, 261, 22);
    spinBox_SnapshotRate = makeChild<QSpinBox>(groupBox, "spinBox_SnapshotRate", 330, 170, 42, 22);
    spinBox_SnapshotRate->setRange(0, SettingStore::kMaxSnapshotsPerSecond);
    checkBox_Recode = makeChild<QCheckBox>(groupBox, "checkBox_Recode", 50, 90, 111, 22);
    checkBox_Snapshot = makeChild<QCheckBox>(groupBox, "checkBox_Snapshot", 170, 90, 111, 22);
    line_2 = makeLine(groupBox, "line_2", 0, 30, kAlarmGroupWidth, 16, QFrame::Plain);
    makeChild<QLabel>(groupBox, "label", 30, 5, 91, 21);

    // Beside the alarm box; fitWidth gives it the rest of the page's width.
    m_pStationEvents = new StationEventsGroup(m_Store, this);
    m_pStationEvents->setObjectName(QStringLiteral("groupBox_Events"));
    m_pStationEvents->setGeometry(30 + kAlarmGroupWidth + 20, 30, 381, 341);

    groupBox_3 = makeChild<QGroupBox>(this, "groupBox_3", 30, 400, kVideoGroupWidth, 251);
    makeChild<QLabel>(groupBox_3, "label_7", 50, 90, 141, 22);
    makeChild<QPushButton>(groupBox_3, "pushButton_5", 470, 90, 75, 22);
    lineEdit_3 = makeChild<QLineEdit>(groupBox_3, "lineEdit_3", 190, 90, 271, 22);
    makeChild<QPushButton>(groupBox_3, "pushButton_6", 470, 130, 75, 22);
    makeChild<QLabel>(groupBox_3, "label_8", 50, 130, 141, 22);
    lineEdit_4 = makeChild<QLineEdit>(groupBox_3, "lineEdit_4", 190, 130, 271, 22);
    makeChild<QLabel>(groupBox_3, "label_9", 50, 50, 111, 22);
    comboBox_3 = makeChild<QComboBox>(groupBox_3, "comboBox_3", 190, 50, 111, 22);
    makeChild<QLabel>(groupBox_3, "label_10", 50, 170, 141, 22);
    lineEdit_6 = makeChild<QLineEdit>(groupBox_3, "lineEdit_6", 190, 170, 271, 22);
    makeChild<QPushButton>(groupBox_3, "pushButton_8", 470, 170, 75, 22);
    lineEdit_7 = makeChild<QLineEdit>(groupBox_3, "lineEdit_7", 190, 210, 271, 22);
    makeChild<QPushButton>(groupBox_3, "pushButton_9", 470, 210, 75, 22);
    makeChild<QLabel>(groupBox_3, "label_11", 50, 210, 141, 22);
    line = makeLine(groupBox_3, "line", 0, 30, kVideoGroupWidth, 21, QFrame::Sunken);
    makeChild<QLabel>(groupBox_3, "label_4", 30, 5, 91, 21);

    // Beside the video box; fitWidth gives it the rest of the page's width.
    groupBox_4 = makeChild<QGroupBox>(this, "groupBox_4", 630, 400, 201, 251);
    makeChild<QLabel>(groupBox_4, "label_15", 50, 50, 391, 22);
    spinBox_FreeSpaceFloor =
        makeChild<QSpinBox>(groupBox_4, "spinBox_FreeSpaceFloor", 450, 50, 60, 22);
    spinBox_FreeSpaceFloor->setRange(0, SettingStore::kMaxFreeSpaceFloorGiB);
    makeChild<QLabel>(groupBox_4, "label_16", 50, 90, 391, 22);
    spinBox_AlarmKeepDays =
        makeChild<QSpinBox>(groupBox_4, "spinBox_AlarmKeepDays", 450, 90, 60, 22);
    makeChild<QLabel>(groupBox_4, "label_17", 50, 130, 391, 22);
    spinBox_RecordKeepDays =
        makeChild<QSpinBox>(groupBox_4, "spinBox_RecordKeepDays", 450, 130, 60, 22);
    for (QSpinBox* days : {spinBox_AlarmKeepDays, spinBox_RecordKeepDays}) {
        days->setRange(0, SettingStore::kMaxKeepDays);
    }
    for (QSpinBox* rule : {spinBox_FreeSpaceFloor, spinBox_AlarmKeepDays, spinBox_RecordKeepDays}) {
        // Typed digits are stored on Enter or focus loss, not one by one: on the way to "30",
        // a keep time of 3 days would already delete files.
        rule->setKeyboardTracking(false);
    }
    // Two lines high, should a narrow page wrap it.
    label_18 = makeChild<QLabel>(groupBox_4, "label_18", 50, 170, 131, 44);
    label_18->setWordWrap(true);
    label_18->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    line_3 = makeLine(groupBox_4, "line_3", 0, 30, 201, 21, QFrame::Sunken);
    makeChild<QLabel>(groupBox_4, "label_14", 30, 5, 91, 21);
}

void SettingWindow::retranslateUi() {
    const auto label = [this](const char* name) {
        return findChild<QLabel*>(QString::fromLatin1(name));
    };
    const auto button = [this](const char* name) {
        return findChild<QPushButton*>(QString::fromLatin1(name));
    };
    setWindowTitle(tr("SettingWindow"));
    groupBox->setTitle(QString());
    checkBox->setText(tr("High Temp Alarm"));
    checkBox_LoginStart->setText(tr("Start when I log in"));
    checkBox_2->setText(tr("Audible alarm"));
    label("label_3")->setText(tr("Loops"));
    label("label_2")->setText(tr("Audio file"));
    button("pushButton_7")->setText(tr("Browse"));
    checkBox_Recode->setText(tr("Alarm Recode"));
    checkBox_Snapshot->setText(tr("Alarm Snapshot"));
    label("label_12")->setText(tr("Pre-alarm seconds"));
    label("label_13")->setText(tr("Snapshots per second (0 = every alarm)"));
    label("label")->setText(tr("Alarm Setting"));
    groupBox_3->setTitle(QString());
    label("label_7")->setText(tr("Manual Record path"));
    button("pushButton_5")->setText(tr("Browse"));
    button("pushButton_6")->setText(tr("Browse"));
    label("label_8")->setText(tr("Manual Snapshot path"));
    label("label_9")->setText(tr("Record type"));
    label("label_10")->setText(tr("Alarm Record path"));
    button("pushButton_8")->setText(tr("Browse"));
    button("pushButton_9")->setText(tr("Browse"));
    label("label_11")->setText(tr("Alarm Snapshot path"));
    label("label_4")->setText(tr("Video Setting"));
    groupBox_4->setTitle(QString());
    label("label_14")->setText(tr("Storage"));
    label("label_15")->setText(tr("Free space floor (GiB, 0 = off)"));
    label("label_16")->setText(tr("Delete alarm episodes after (days, 0 = never)"));
    label("label_17")
        ->setText(tr("Delete manual recordings and snapshots after (days, 0 = never)"));
    label_18->setText(
        tr("Below the floor, the oldest alarm episodes go first; kept ones and the last 24 hours "
           "stay."));
}

void SettingWindow::loadSettings() {
    checkBox->setChecked(m_Store.alarmEnabled());
    checkBox_LoginStart->setChecked(m_LoginStart.enabled());
    checkBox_Recode->setChecked(m_Store.alarmRecordEnabled());
    checkBox_Snapshot->setChecked(m_Store.alarmSnapshotEnabled());
    checkBox_2->setChecked(m_Store.alarmSoundEnabled());
    spinBox->setValue(m_Store.alarmSoundPlayTimes());
    // Showing a stored value is no change: no store, no toast, no signal.
    const std::pair<QSpinBox*, int> shown[] = {
        {spinBox_PreAlarm, m_Store.preAlarmSeconds()},
        {spinBox_SnapshotRate, m_Store.alarmSnapshotsPerSecond()},
        {spinBox_FreeSpaceFloor, m_Store.freeSpaceFloorGiB()},
        {spinBox_AlarmKeepDays, m_Store.alarmKeepDays()},
        {spinBox_RecordKeepDays, m_Store.recordKeepDays()},
    };
    for (const auto& [box, value] : shown) {
        const QSignalBlocker quiet(box);
        box->setValue(value);
    }
    lineEdit_5->setText(m_Store.alarmSoundFile());
    lineEdit_5->setReadOnly(true);
    comboBox_3->addItem(tr("mp4"));
    comboBox_3->addItem(tr("pvf"));
    // A value other than 0 or 1 leaves no item selected.
    comboBox_3->setCurrentIndex(m_Store.recordType());
    // The text-change slots are connected already: these two write the folders back.
    lineEdit_3->setText(m_Store.recordPath());
    lineEdit_3->setReadOnly(true);
    lineEdit_4->setText(m_Store.snapshotPath());
    lineEdit_4->setReadOnly(true);
    lineEdit_6->setText(m_Store.alarmRecordsPath());
    lineEdit_6->setReadOnly(true);
    lineEdit_7->setText(m_Store.alarmImagesPath());
    lineEdit_7->setReadOnly(true);
}

void SettingWindow::fitWidth(int /*width*/, int /*height*/) {
    constexpr int kGap = 20;
    const int fitted = qMax(0, width() - 60);
    const int alarm = qMin(fitted, kAlarmGroupWidth);
    const int events = qMax(0, fitted - alarm - kGap);
    const int video = qMin(fitted, kVideoGroupWidth);
    const int storage = qMax(0, fitted - video - kGap);
    for (const auto& [widget, fit] : {std::pair<QWidget*, int>{groupBox, alarm},
                                      {line_2, alarm},
                                      {m_pStationEvents, events},
                                      {groupBox_3, video},
                                      {line, video},
                                      {groupBox_4, storage},
                                      {line_3, storage},
                                      {label_18, qMax(0, storage - 70)}}) {
        widget->setFixedWidth(fit);
    }
    m_pStationEvents->move(groupBox->x() + alarm + kGap, groupBox->y());
    groupBox_4->move(groupBox_3->x() + video + kGap, groupBox_3->y());
}

bool SettingWindow::eventFilter(QObject* watched, QEvent* event) {
    // Stored on every focus loss, changed or not: the arrows alone store nothing.
    if (watched == spinBox && event->type() == QEvent::FocusOut) {
        m_Store.setAlarmSoundPlayTimes(spinBox->value());
        showChanged();
    }
    return QWidget::eventFilter(watched, event);
}

void SettingWindow::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    paintStyleSheetBackground(this, &painter);
}

void SettingWindow::on_checkBox_LoginStart_clicked() {
    QString error;
    if (!m_LoginStart.Set(checkBox_LoginStart->isChecked(), &error)) {
        qWarning("SettingWindow: start at login: %s", qUtf8Printable(error));
        checkBox_LoginStart->setChecked(m_LoginStart.enabled());
        ShowNotify(tr("Setting failed!"), true);
        return;
    }
    showChanged();
}

void SettingWindow::on_checkBox_clicked() {
    const bool enabled = checkBox->isChecked();
    m_Store.setAlarmEnabled(enabled);
    emit alarmSwitched(enabled);
    showChanged();
}

void SettingWindow::on_checkBox_2_clicked() {
    m_Store.setAlarmSoundEnabled(checkBox_2->isChecked());
    showChanged();
}

void SettingWindow::on_spinBox_valueChanged(int /*value*/) {
    // Nothing: the loop count is stored when the spin box loses the focus.
}

void SettingWindow::on_comboBox_3_activated(int index) {
    m_Store.setRecordType(index);
    showChanged();
}

void SettingWindow::on_lineEdit_3_textChanged(const QString& text) {
    m_Store.setRecordPath(text);
}

void SettingWindow::on_lineEdit_4_textChanged(const QString& text) {
    m_Store.setSnapshotPath(text);
}

void SettingWindow::on_pushButton_5_clicked() {
    browseFolder(lineEdit_3, &SettingStore::setRecordPath);
}

void SettingWindow::on_pushButton_6_clicked() {
    browseFolder(lineEdit_4, &SettingStore::setSnapshotPath);
}

void SettingWindow::on_pushButton_7_clicked() {
    const QString file = m_pDialogs->openFileName(lineEdit_5->text(), tr("wave file (*.wav)"));
    if (file.isEmpty()) {
        return;
    }
    lineEdit_5->setText(file);
    m_Store.setAlarmSoundFile(lineEdit_5->text());
    emit alarmSoundFileChosen(file);
    showChanged();
}

void SettingWindow::on_checkBox_Recode_clicked() {
    m_Store.setAlarmRecordEnabled(checkBox_Recode->isChecked());
    showChanged();
}

void SettingWindow::on_spinBox_PreAlarm_valueChanged(int value) {
    // Stored at once, arrows and typing alike: the capture thread reads it for the next frame.
    m_Store.setPreAlarmSeconds(value);
    showChanged();
}

void SettingWindow::on_spinBox_SnapshotRate_valueChanged(int value) {
    // Stored at once, like the pre-alarm seconds: the next alarm reads it.
    m_Store.setAlarmSnapshotsPerSecond(value);
    showChanged();
}

void SettingWindow::on_spinBox_FreeSpaceFloor_valueChanged(int value) {
    m_Store.setFreeSpaceFloorGiB(value);
    storageRuleChanged();
}

void SettingWindow::on_spinBox_AlarmKeepDays_valueChanged(int value) {
    m_Store.setAlarmKeepDays(value);
    storageRuleChanged();
}

void SettingWindow::on_spinBox_RecordKeepDays_valueChanged(int value) {
    m_Store.setRecordKeepDays(value);
    storageRuleChanged();
}

void SettingWindow::on_checkBox_Snapshot_clicked() {
    m_Store.setAlarmSnapshotEnabled(checkBox_Snapshot->isChecked());
    showChanged();
}

void SettingWindow::on_pushButton_8_clicked() {
    browseFolder(lineEdit_6, &SettingStore::setAlarmRecordsPath);
}

void SettingWindow::on_pushButton_9_clicked() {
    browseFolder(lineEdit_7, &SettingStore::setAlarmImagesPath);
}

void SettingWindow::onDeviceConnected() {
    // Nothing to do: the page keeps no camera state.
}

void SettingWindow::browseFolder(QLineEdit* edit, void (SettingStore::*store)(const QString&)) {
    const QString folder = m_pDialogs->existingDirectory(edit->text());
    if (folder.isEmpty()) {
        return;
    }
    // Counted in the 8-bit form that the file functions receive, where the limit applies.
    if (folder.toLocal8Bit().size() > kMaxPathBytes) {
        ShowNotify(tr("Path too long Setting Fail"), true);
        return;
    }
    edit->setText(folder);
    (m_Store.*store)(edit->text());
    showChanged();
}

void SettingWindow::showChanged() {
    ShowSuccessNotify(tr("Setting changed!"));
}

void SettingWindow::storageRuleChanged() {
    showChanged();
    emit storageRulesChanged();
}
