#include "settings/StationEventsGroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyle>
#include <QSysInfo>
#include <algorithm>

#include "settings/SettingStore.h"

namespace {

const QString kEnabled = QStringLiteral("Mqtt/Enabled");
const QString kHost = QStringLiteral("Mqtt/Host");
const QString kPort = QStringLiteral("Mqtt/Port");
const QString kStation = QStringLiteral("Mqtt/Station");
const QString kTopicPrefix = QStringLiteral("Mqtt/TopicPrefix");
const QString kUsername = QStringLiteral("Mqtt/Username");
const QString kPasswordFile = QStringLiteral("Mqtt/PasswordFile");
const QString kCaFile = QStringLiteral("Mqtt/CaFile");
const QString kQos = QStringLiteral("Mqtt/Qos");
const QString kPictureKiB = QStringLiteral("Mqtt/MaxPictureKiB");
const QString kHealthSeconds = QStringLiteral("Mqtt/HealthSeconds");
const QString kDiscovery = QStringLiteral("Mqtt/Discovery");
const QString kDiscoveryPrefix = QStringLiteral("Mqtt/DiscoveryPrefix");

// Geometry in the page's terms: captions at x 30, labels at 50, controls 140 pixels further on
// (as in the video group), rows 22 pixels high.
constexpr int kRowsTop = 44;  // the scrolled rows begin below the caption's line
constexpr int kTop = 6;       // the first row then lies level with the alarm group's first
constexpr int kLeft = 50;
constexpr int kRight = 30;
constexpr int kColumnGap = 30;
constexpr int kLabelWidth = 140;
constexpr int kRowHeight = 22;
constexpr int kPitch = 28;
constexpr int kNumberWidth = 80;
constexpr int kMinColumnWidth = 260;
constexpr int kTwoColumnsWidth = kLeft + 2 * kMinColumnWidth + kColumnGap + kRight;

}  // namespace

StationEventsGroup::StationEventsGroup(SettingStore& settings, QWidget* parent)
    : QGroupBox(parent), m_Store(settings) {
    // The caption above its line, as the page's other groups have it.
    auto* caption = new QLabel(tr("Station events"), this);
    caption->setObjectName(QStringLiteral("label_Events"));
    caption->setGeometry(30, 5, 200, 21);
    m_pCaptionLine = new QFrame(this);
    m_pCaptionLine->setObjectName(QStringLiteral("line_Events"));
    m_pCaptionLine->setFrameShape(QFrame::HLine);
    m_pCaptionLine->setFrameShadow(QFrame::Plain);
    m_pScroll = new QScrollArea(this);
    m_pScroll->setObjectName(QStringLiteral("scrollArea_Events"));
    m_pScroll->setFrameShape(QFrame::NoFrame);
    m_pRows = new QWidget;
    m_pRows->setObjectName(QStringLiteral("widget_EventRows"));

    // Created in the order the Tab key goes: the connection, then what is published.
    auto* enabled = new QCheckBox(tr("Publish events"), m_pRows);
    enabled->setObjectName(QStringLiteral("checkBox_Publish"));
    enabled->setChecked(m_Store.getBool(kEnabled, false));
    connect(enabled, &QCheckBox::clicked, this, [this](bool on) { store(kEnabled, on); });
    m_Connection.push_back({nullptr, enabled});
    QLineEdit* host = addText("lineEdit_Host", kHost);
    host->setPlaceholderText(QStringLiteral("localhost"));
    m_Connection.push_back({addLabel(tr("Broker host")), host});
    QSpinBox* port = addNumber("spinBox_Port", kPort, 0, 65535, 0, true);
    port->setSpecialValueText(tr("Default"));
    m_Connection.push_back({addLabel(tr("Port")), port, kNumberWidth});
    QLineEdit* caFile = addText("lineEdit_CaFile", kCaFile);
    caFile->setPlaceholderText(tr("none: no TLS"));
    m_Connection.push_back({addLabel(tr("CA file")), caFile});
    m_Connection.push_back({addLabel(tr("User name")), addText("lineEdit_Username", kUsername)});
    m_pPasswordFile = addText("lineEdit_PasswordFile", kPasswordFile);
    connect(m_pPasswordFile, &QLineEdit::editingFinished, this,
            &StationEventsGroup::showPasswordFile);
    m_Connection.push_back({addLabel(tr("Password file")), m_pPasswordFile});
    m_pPassword = new QLineEdit(m_pRows);
    m_pPassword->setObjectName(QStringLiteral("lineEdit_Password"));
    m_pPassword->setEchoMode(QLineEdit::Password);
    connect(m_pPassword, &QLineEdit::editingFinished, this, &StationEventsGroup::storePassword);
    m_Connection.push_back({addLabel(tr("Password")), m_pPassword});
    m_pPasswordNote = new QLabel(m_pRows);
    m_pPasswordNote->setObjectName(QStringLiteral("label_PasswordNote"));
    m_Connection.push_back({nullptr, m_pPasswordNote});

    QLineEdit* station = addText("lineEdit_Station", kStation);
    station->setPlaceholderText(QSysInfo::machineHostName());
    connect(station, &QLineEdit::editingFinished, this,
            &StationEventsGroup::showDefaultTopicPrefix);
    m_Publishing.push_back({addLabel(tr("Station name")), station});
    m_pTopicPrefix = addText("lineEdit_TopicPrefix", kTopicPrefix, true);
    m_Publishing.push_back({addLabel(tr("Topic prefix")), m_pTopicPrefix});
    auto* qos = new QComboBox(m_pRows);
    qos->setObjectName(QStringLiteral("comboBox_Qos"));
    // A list view lets the style sheet reach the popup's items.
    qos->setView(new QListView(qos));
    qos->addItems({QStringLiteral("1"), QStringLiteral("2")});
    qos->setCurrentIndex(m_Store.getInt(kQos, 1) == 2 ? 1 : 0);
    connect(qos, &QComboBox::activated, this, [this](int index) { store(kQos, index + 1); });
    m_Publishing.push_back({addLabel(tr("QoS")), qos, kNumberWidth});
    m_Publishing.push_back(
        {addLabel(tr("Largest picture (KiB)")),
         addNumber("spinBox_PictureKiB", kPictureKiB, SettingStore::kMinMqttPictureKiB,
                   SettingStore::kMaxMqttPictureKiB, 512),
         kNumberWidth});
    QSpinBox* health = addNumber("spinBox_HealthSeconds", kHealthSeconds, 0,
                                 SettingStore::kMaxMqttHealthSeconds, 60);
    health->setSpecialValueText(tr("Off"));
    m_Publishing.push_back({addLabel(tr("Health every (s)")), health, kNumberWidth});
    auto* discovery = new QCheckBox(tr("Home Assistant discovery"), m_pRows);
    discovery->setObjectName(QStringLiteral("checkBox_Discovery"));
    discovery->setChecked(m_Store.getBool(kDiscovery, false));
    connect(discovery, &QCheckBox::clicked, this, [this](bool on) { store(kDiscovery, on); });
    m_Publishing.push_back({nullptr, discovery});
    QLineEdit* discoveryPrefix = addText("lineEdit_DiscoveryPrefix", kDiscoveryPrefix, true);
    discoveryPrefix->setPlaceholderText(QStringLiteral("homeassistant"));
    m_Publishing.push_back({addLabel(tr("Discovery prefix")), discoveryPrefix});
    m_pState = new QLabel(m_pRows);
    m_pState->setObjectName(QStringLiteral("label_State"));
    m_pState->setWordWrap(true);
    m_Status.push_back({nullptr, m_pState});
    m_pOutbox = new QLabel(m_pRows);
    m_pOutbox->setObjectName(QStringLiteral("label_Outbox"));
    m_Status.push_back({nullptr, m_pOutbox});

    m_pScroll->setWidget(m_pRows);
    showPasswordFile();
    showDefaultTopicPrefix();
    ShowState(State());
}

StationEventsGroup::~StationEventsGroup() = default;

void StationEventsGroup::ShowState(const State& state) {
    QString text;
    if (!state.enabled) {
        text = tr("Not publishing");
    } else if (state.connected) {
        const QDateTime since = state.since.toLocalTime();
        const QString format = since.date() == QDate::currentDate()
                                   ? QStringLiteral("HH:mm:ss")
                                   : QStringLiteral("yyyy-MM-dd HH:mm:ss");
        text = tr("Connected since %1").arg(since.toString(format));
    } else if (!state.error.isEmpty()) {
        text = tr("Not connected: %1").arg(state.error);
    } else {
        text = tr("Connecting…");
    }
    m_pState->setText(text);
    m_pOutbox->setText(tr("Events waiting to be sent: %1").arg(state.pending));
    layOutRows();  // a longer text may take another line
}

void StationEventsGroup::resizeEvent(QResizeEvent* event) {
    QGroupBox::resizeEvent(event);
    m_pCaptionLine->setGeometry(0, 30, width(), 16);
    // Inside the group's border.
    m_pScroll->setGeometry(1, kRowsTop, qMax(0, width() - 2), qMax(0, height() - kRowsTop - 1));
    layOutRows();
}

QLabel* StationEventsGroup::addLabel(const QString& text) {
    return new QLabel(text, m_pRows);
}

QLineEdit* StationEventsGroup::addText(const char* name, const QString& key, bool topicPrefix) {
    auto* edit = new QLineEdit(m_Store.getString(key, QString()), m_pRows);
    edit->setObjectName(QString::fromLatin1(name));
    connect(edit, &QLineEdit::editingFinished, this,
            [this, edit, key, topicPrefix] { storeText(edit, key, topicPrefix); });
    return edit;
}

QSpinBox* StationEventsGroup::addNumber(const char* name, const QString& key, int minimum,
                                        int maximum, int defaultValue, bool zeroRemoves) {
    auto* box = new QSpinBox(m_pRows);
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(minimum, maximum);
    // Typed digits are stored on Enter or focus loss: each stored value makes the publisher anew.
    box->setKeyboardTracking(false);
    box->setValue(m_Store.getInt(key, defaultValue));
    connect(box, &QSpinBox::valueChanged, this, [this, key, zeroRemoves](int value) {
        store(key, zeroRemoves && value == 0 ? QVariant() : QVariant(value));
    });
    return box;
}

void StationEventsGroup::layOutRows() {
    const int width = m_pScroll->width();
    if (width >= kTwoColumnsWidth) {
        const int column = (width - kLeft - kRight - kColumnGap) / 2;
        const int columnsEnd =
            std::max(placeRows(m_Connection, kTop, kLeft, column),
                     placeRows(m_Publishing, kTop, kLeft + column + kColumnGap, column));
        m_pRows->resize(width, placeRows(m_Status, columnsEnd, kLeft, width - kLeft - kRight));
        return;
    }
    // One column beside the vertical scroll bar; narrower than a column, it scrolls sideways too.
    const int scrollBar = m_pScroll->verticalScrollBar()->sizeHint().width();
    const int column = std::max(kMinColumnWidth, width - kLeft - kRight - scrollBar);
    int end = kTop;
    for (const std::vector<Row>* rows : {&m_Connection, &m_Publishing, &m_Status}) {
        end = placeRows(*rows, end, kLeft, column);
    }
    m_pRows->resize(kLeft + column + kRight, end);
}

int StationEventsGroup::placeRows(const std::vector<Row>& rows, int top, int x, int width) {
    int y = top;
    for (const Row& row : rows) {
        int fieldX = x;
        if (row.label != nullptr) {
            row.label->setGeometry(x, y, kLabelWidth, kRowHeight);
            fieldX += kLabelWidth;
        }
        const int fieldWidth = row.fieldWidth > 0 ? row.fieldWidth : x + width - fieldX;
        const int height = row.field->hasHeightForWidth()
                               ? std::max(kRowHeight, row.field->heightForWidth(fieldWidth))
                               : kRowHeight;
        row.field->setGeometry(fieldX, y, fieldWidth, height);
        y += (height - kRowHeight + kPitch - 1) / kPitch * kPitch + kPitch;  // whole rows
    }
    return y;
}

void StationEventsGroup::store(const QString& key, const QVariant& value) {
    const QString text = value.toString();
    if (text == m_Store.getString(key, QString())) {
        return;  // no change: nothing to make anew
    }
    if (text.isEmpty()) {
        m_Store.remove(key);
    } else if (value.typeId() == QMetaType::Bool) {
        m_Store.setBool(key, value.toBool());
    } else if (value.typeId() == QMetaType::Int) {
        m_Store.setInt(key, value.toInt());
    } else {
        m_Store.setString(key, text);
    }
    emit changed();
}

void StationEventsGroup::storeText(QLineEdit* edit, const QString& key, bool topicPrefix) {
    const QString text = edit->text().trimmed();
    if (topicPrefix) {
        // The publisher refuses a prefix with a wildcard: every topic under it would be a filter.
        const bool refused = text.contains(QLatin1Char('+')) || text.contains(QLatin1Char('#'));
        edit->setProperty("refused", refused);
        edit->setToolTip(refused ? tr("A topic prefix may not contain + or #") : QString());
        edit->style()->unpolish(edit);
        edit->style()->polish(edit);
        if (refused) {
            return;
        }
    }
    edit->setText(text);
    store(key, text);
}

void StationEventsGroup::storePassword() {
    const QString password = m_pPassword->text();
    if (password.isEmpty()) {
        return;
    }
    const QString named = m_Store.getString(kPasswordFile, QString());
    const QString path =
        named.isEmpty()
            ? QFileInfo(m_Store.fileName()).absoluteDir().absoluteFilePath("mqtt-password")
            : named;
    QSaveFile file(path);
    // Owner-only before the first byte: the password is never in a file others may read.
    const bool written = file.open(QIODevice::WriteOnly) &&
                         file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                         file.write(password.toUtf8() + '\n') > 0 && file.commit();
    if (!written) {
        qWarning("Mqtt: the password cannot be written to %s (%s)", qUtf8Printable(path),
                 qUtf8Printable(file.errorString()));
        m_pPasswordNote->setText(tr("Not stored: %1").arg(file.errorString()));
        return;
    }
    m_pPasswordNote->clear();
    m_pPassword->clear();
    if (named.isEmpty()) {
        m_Store.setString(kPasswordFile, path);
        m_pPasswordFile->setText(path);
    }
    showPasswordFile();
    emit changed();
}

void StationEventsGroup::showPasswordFile() {
    const QString file = m_Store.getString(kPasswordFile, QString());
    m_pPassword->setPlaceholderText(
        file.isEmpty() ? QString() : tr("stored in %1").arg(QFileInfo(file).fileName()));
}

void StationEventsGroup::showDefaultTopicPrefix() {
    QString station = m_Store.getString(kStation, QString());
    if (station.isEmpty()) {
        station = QSysInfo::machineHostName();
    }
    // As the publisher makes it: the station name is one topic level.
    static const QRegularExpression kNotInLevel(QStringLiteral("[/+#]"));
    m_pTopicPrefix->setPlaceholderText(QStringLiteral("calorview/") +
                                       station.replace(kNotInLevel, QStringLiteral("_")));
}
