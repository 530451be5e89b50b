// The events not yet acknowledged by the broker, kept in an append-only file so that neither a
// broker down for hours nor a killed program loses one.
//
// Files, in the folder of kvs.ini:
//   "mqtt-outbox.jsonl": one event a line, "<id> TAB <topic> TAB <payload JSON>", appended as
//     events come; a torn last line (a crash mid-write) is ignored when read back.
//   "mqtt-outbox.ack": the id of the last event acknowledged with all events before it, replaced
//     whole (written beside it, then renamed over).
// Reading back takes the events after the acknowledged one, or every event when that id is not
// in the file: an event may be sent twice, never lost. The file is compacted (the pending events
// written to a new file, which is renamed over the old) when it is read back and when its
// acknowledged head has grown large; a crash at any moment leaves either the old file or the new.
//
// A write that fails (a full disk, a file size limit) never leaves part of a line behind: the
// file is cut back to its last whole line, the events not written stay in memory, and they are
// written, in order, at the next append or sync. A compaction that fails keeps the old file.
// Each failure is logged once until writing works again.
//
// Bounded: beyond `maxEvents` pending events the oldest are dropped and counted.
//
// Not thread-safe: one thread (the publisher's, the GUI thread) uses it.
#pragma once

#include <QByteArray>
#include <QString>
#include <deque>

class EventOutbox {
public:
    static constexpr int kMaxEvents = 100000;

    struct Event {
        quint64 seq = 0;  // position in this run, from 1, in the order of the file
        QByteArray id;
        QByteArray topic;
        QByteArray payload;
    };

    explicit EventOutbox(const QString& folder, int maxEvents = kMaxEvents);
    ~EventOutbox();
    EventOutbox(const EventOutbox&) = delete;
    EventOutbox& operator=(const EventOutbox&) = delete;

    // Reads back what an earlier run left and opens the file for appending. False (with a log
    // line) when the file cannot be written; the outbox then holds events in memory only.
    bool Open();

    // Appends an event (written at once, made durable by the next Sync). Its sequence number.
    quint64 Append(const QByteArray& id, const QByteArray& topic, const QByteArray& payload);
    // The broker has `seq`. The acknowledged head advances over contiguous acknowledged events;
    // numbers already gone (acknowledged, dropped) are ignored.
    void Acknowledge(quint64 seq);
    // Makes the appended lines and the acknowledged position durable, compacts when due, and
    // logs dropped events. The publisher calls it once a second.
    void Sync();

    // The pending event numbered `seq`, or null when it is gone or not yet appended.
    const Event* Find(quint64 seq) const;
    // The oldest pending event's number (the next to be appended when none is pending).
    quint64 FirstSeq() const { return m_nNextSeq - m_Pending.size(); }
    int PendingCount() const { return static_cast<int>(m_Pending.size()); }
    quint64 DroppedCount() const { return m_nDropped; }
    // Writing the file fails (logged once): the pending events are kept in memory meanwhile.
    bool Failing() const { return m_bWriteFailing || m_bCompactFailing; }

    QString FilePath() const;

private:
    struct Entry {
        Event event;
        bool acknowledged = false;
    };

    static QByteArray Line(const Event& event);
    // Replaces the file by one holding only the pending events, which it then appends to. On
    // failure the old file stays (or, at Open, `oldWholeBytes` of it, its last line cut by a
    // crash left out). False when no file can be written at all.
    bool Compact(qint64 oldWholeBytes = -1);
    // Appends the pending events not yet in the file; false when a write failed.
    bool WriteUnwritten();
    // Pending events that are in the file.
    qint64 PendingInFile() const;
    void WriteAckFile();
    void DropOldest();

    QString m_Folder;
    int m_nMaxEvents;
    int m_fd = -1;
    std::deque<Entry> m_Pending;  // oldest first; unacknowledged, or acknowledged out of order
    quint64 m_nNextSeq = 1;
    quint64 m_nWrittenSeq = 1;       // the first event not in the file (when still pending)
    qint64 m_nFileLines = 0;         // lines in the file, acknowledged ones included
    qint64 m_nFileBytes = 0;         // the file's length up to its last whole line
    bool m_bWriteFailing = false;    // a failed write was logged; none has worked since
    bool m_bCompactFailing = false;  // the same for compactions
    QByteArray m_AckedId;            // last of the acknowledged head, persisted in the ack file
    bool m_bAckDirty = false;
    bool m_bDataDirty = false;
    quint64 m_nDropped = 0;
    quint64 m_nDroppedLogged = 0;
};
