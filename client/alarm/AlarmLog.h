// The alarm log: one CSV file a day, "AlarmLog_YYYYMMDD.csv" in the alarm images folder, one line
// per alarm episode, appended when the episode ends and never rewritten. A line is written whole
// with one write() and synced at once (episodes are rare), so a crash loses at most the episode in
// progress; a line a crash cut short stays as it is and the next one starts on a line of its own.
// An episode that runs over midnight goes into the file of the day it began.
//
// The file is never reached through a symbolic link, and only a regular file is written.
//
// GUI thread only; every append opens, writes and closes the file, so no state is shared.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

#include "alarm/AlarmEpisode.h"

class AlarmLog {
public:
    // The header line, CRLF included.
    static const QByteArray& Header();
    // "AlarmLog_YYYYMMDD.csv" for `day`.
    static QString FileName(QDate day);
    // The episode's line (RFC 4180, CRLF at its end).
    static QByteArray Line(const AlarmEpisode& episode);
    // The episode a line tells, as Line wrote it (its line end may be missing); false for the
    // header, a line a crash cut short, or anything else. Any thread.
    static bool ParseLine(const QByteArray& line, AlarmEpisode* episode);
    // A computer time as the file writes it: ISO 8601 with its UTC offset. Any thread.
    static QString ComputerTime(const QDateTime& time);

    // Appends the episode to the file of the day it began in the alarm images folder as the
    // settings name it now. False on failure, which is logged (once until an append succeeds).
    bool Append(const AlarmEpisode& episode);
    // The same in `folder`.
    bool Append(const AlarmEpisode& episode, const QString& folder);
    // The last append failed (the station's health tells it).
    bool failing() const { return m_bFailing; }

    // The absolute path of today's file in the alarm images folder, created with only its
    // header when missing; empty (and logged) when it cannot be created.
    static QString EnsureToday();

private:
    // Appends `line` (perhaps empty) to `path`: the header first when the file is new or
    // empty, a line end first when its last line was cut. Sets `error` on failure.
    static bool Write(const QString& path, const QByteArray& line, QString* error);

    bool m_bFailing = false;  // a failure has been logged and no append succeeded since
};
