// The "keep" marks of alarm episodes, as the alarm viewer uses them: an episode is named by its
// key (AlarmLog::ComputerTime of its first computer time). The retention keeper implements it;
// the live page only holds a pointer, so it knows nothing of retention.
//
// GUI thread.
#pragma once

#include <QString>

class EpisodeMarks {
public:
    virtual ~EpisodeMarks() = default;
    virtual bool IsKept(const QString& key) const = 0;
    // Kept episodes are never removed by retention.
    virtual void SetKept(const QString& key, bool keep) = 0;
};
