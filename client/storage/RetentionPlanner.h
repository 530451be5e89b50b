// Decides what one retention pass removes, from the episode index, the marks and the free space
// of each file system that holds a storage folder. No disk and no clock of its own: the same
// inputs give the same plan.
//
// The rules, in this order:
//   1. Alarm episodes that ended more than alarmKeepDays ago (0: no age limit).
//   2. Manual snapshots and recordings modified more than recordKeepDays ago (0: none).
//   3. The floor: while a file system has less than floorBytes free, its oldest alarm episodes,
//      whole, until what they free covers the lack. Never an episode that ended in the last 24
//      hours (nor one dated in the future), never the user's own files.
// Never an episode in progress or a kept one; "oldest" and "ended" use the episode's end time
// (its logged last computer time, else its newest file's mtime), never the camera times in the
// names. A file claimed by several episodes is removed only with the last of them.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "storage/AlarmMarks.h"
#include "storage/EpisodeIndex.h"

class RetentionPlanner {
public:
    static constexpr int64_t kRecentSeconds = 24 * 3600;

    struct Rules {
        uint64_t floorBytes = 0;  // 0: no floor
        int alarmKeepDays = 0;
        int recordKeepDays = 0;
    };
    enum class Reason : uint8_t { kAge, kFloor };
    struct Plan {
        std::vector<size_t> episodes;  // into index.Episodes(), oldest first
        std::vector<Reason> reasons;   // one per episode
        std::vector<uint32_t> files;   // the files those episodes free
        std::vector<uint32_t> manualFiles;
        uint64_t episodeBytes = 0;
        uint64_t manualBytes = 0;
        // File systems (devices) still below the floor afterwards: only kept, recent and the
        // user's own files are left there.
        std::vector<uint64_t> shortDevices;
    };

    // `freeBytes`: the free bytes of each device that holds a storage folder.
    static Plan Make(EpisodeIndex& index, const AlarmMarks& marks, const Rules& rules,
                     const std::map<uint64_t, uint64_t>& freeBytes, int64_t nowSeconds);
};
