// What the user and retention have said of alarm episodes, kept in "AlarmMarks.csv" beside the
// alarm logs: a header line, then one line per mark, "<mark>,<episode key>,<time>" (RFC 4180,
// CRLF, UTF-8), appended and never rewritten, each line with one write and synced at once, so
// the marks survive a restart and a crash. Marks: "keep" and "unkeep" (the last of them per key
// wins: a kept episode is never removed), "removed" (retention removed its files; its log line
// stays), "reviewed" (the History page showed it). Lines of other marks are kept in the file and
// ignored here.
//
// Threads: the in-memory marks are guarded by their mutex (any thread reads them); Load and
// Append touch the disk and run on the storage thread; Set changes memory only.
#pragma once

#include <QString>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class AlarmMarks {
public:
    static constexpr const char* kFileName = "AlarmMarks.csv";

    // Reads the file in `folder` (the alarm images folder); what it held replaces memory.
    void Load(const QString& folder);
    // Appends a mark to the file in `folder` (created with its header when missing); false on
    // failure, logged once until an append succeeds. Also sets it in memory.
    bool Append(const QString& folder, const char* mark, const std::string& key);
    // The same mark for several keys, with one write and one sync.
    bool Append(const QString& folder, const char* mark, const std::vector<std::string>& keys);
    // Sets a mark in memory only (the caller appends it later, off its thread).
    void Set(const char* mark, const std::string& key);

    bool IsKept(const std::string& key) const;
    bool IsRemoved(const std::string& key) const;
    bool IsReviewed(const std::string& key) const;

private:
    struct State {
        bool kept = false;
        bool removed = false;
        bool reviewed = false;
    };
    static void Apply(State* state, const QString& mark);

    mutable std::mutex m_Mutex;
    std::unordered_map<std::string, State> m_States;  // guarded by m_Mutex
    bool m_bFailing = false;                          // storage thread
};
