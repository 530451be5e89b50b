// The settings page's "Station events" group: the "Mqtt" keys of kvs.ini that the event publisher
// reads (docs/events.md), and what the publisher is doing. Like every control of the page, each
// row stores its key the moment it changes; changed() then lets the program make the publisher
// anew with the new values. The password never goes into kvs.ini: it is written, readable by its
// owner only, to the password file, and the field is cleared.
//
// Wide enough, the rows stand in two columns (the connection; what is published) above the state
// lines; narrower, in one column that scrolls.
//
// GUI thread only, like every widget.
#pragma once

#include <QDateTime>
#include <QGroupBox>
#include <QVariant>

#include <vector>

class QFrame;
class QLabel;
class QLineEdit;
class QScrollArea;
class QSpinBox;
class SettingStore;

class StationEventsGroup : public QGroupBox {
    Q_OBJECT

public:
    // What the publisher reports about itself.
    struct State {
        bool enabled = false;  // Mqtt/Enabled as the publisher runs it
        bool connected = false;
        QDateTime since;     // connected since (valid when connected)
        QString error;       // the last failure in words, empty when none
        qint64 pending = 0;  // events waiting in the outbox
    };

    // Shows the group's keys as `settings` holds them now; the rows write them back there.
    StationEventsGroup(SettingStore& settings, QWidget* parent);
    ~StationEventsGroup() override;

    // The state and outbox lines; until the first call they say "Not publishing".
    void ShowState(const State& state);

signals:
    // One of the group's keys, or the password file, was changed (once per change).
    void changed();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // One line of the form: a label and its control, or (no label) a control across the column.
    // A word-wrapped label takes as many lines as its text needs.
    struct Row {
        QLabel* label = nullptr;
        QWidget* field = nullptr;
        int fieldWidth = 0;  // 0: to the column's end
    };

    QLabel* addLabel(const QString& text);
    // A line showing `key` that stores it when edited (storeText).
    QLineEdit* addText(const char* name, const QString& key, bool topicPrefix = false);
    // A spin box showing `key` (`defaultValue` when missing) that stores each value it takes;
    // with `zeroRemoves`, 0 removes the key.
    QSpinBox* addNumber(const char* name, const QString& key, int minimum, int maximum,
                        int defaultValue, bool zeroRemoves = false);
    void layOutRows();
    // Places `rows` from `top` in a column at `x` of `width` pixels; returns where they end.
    static int placeRows(const std::vector<Row>& rows, int top, int x, int width);

    // Stores `value` under `key`; an empty value removes the key, an unchanged one is left.
    void store(const QString& key, const QVariant& value);
    // Stores the line's trimmed text; a topic prefix with an MQTT wildcard is refused (shown red).
    void storeText(QLineEdit* edit, const QString& key, bool topicPrefix);
    // Writes the typed password to the password file, never to kvs.ini.
    void storePassword();
    // The password field's placeholder names the file holding the password.
    void showPasswordFile();
    // The topic prefix's placeholder is the publisher's default for the stored station name.
    void showDefaultTopicPrefix();

    SettingStore& m_Store;
    QScrollArea* m_pScroll = nullptr;
    QWidget* m_pRows = nullptr;  // the scrolled widget holding every row
    QFrame* m_pCaptionLine = nullptr;
    QLineEdit* m_pPasswordFile = nullptr;
    QLineEdit* m_pPassword = nullptr;
    QLabel* m_pPasswordNote = nullptr;  // why the password was not stored
    QLineEdit* m_pTopicPrefix = nullptr;
    QLabel* m_pState = nullptr;
    QLabel* m_pOutbox = nullptr;
    std::vector<Row> m_Connection;  // the left column
    std::vector<Row> m_Publishing;  // the right column
    std::vector<Row> m_Status;      // below both
};
