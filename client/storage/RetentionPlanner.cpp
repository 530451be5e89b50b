#include "storage/RetentionPlanner.h"

#include <algorithm>
#include <numeric>

RetentionPlanner::Plan RetentionPlanner::Make(EpisodeIndex& index, const AlarmMarks& marks,
                                              const Rules& rules,
                                              const std::map<uint64_t, uint64_t>& freeBytes,
                                              int64_t nowSeconds) {
    Plan plan;
    const std::vector<EpisodeIndex::Episode>& episodes = index.Episodes();
    const std::vector<StoredFile>& files = index.Files();

    // The claims that still hold each file: those of episodes not removed already.
    std::vector<uint16_t> claimsLeft(files.size(), 0);
    std::vector<bool> candidate(episodes.size(), false);
    for (size_t e = 0; e < episodes.size(); ++e) {
        const EpisodeIndex::Episode& episode = episodes[e];
        // A logged episode retention removed stays in the log; what it shared with a later one
        // is that one's now. A group of files is keyed by its first name, which a camera clock
        // set back may give again: files there now are new ones.
        if (episode.logged && marks.IsRemoved(episode.key)) {
            continue;
        }
        for (const uint32_t file : episode.files) {
            ++claimsLeft[file];
        }
        candidate[e] = !episode.open && !marks.IsKept(episode.key);
    }
    std::map<uint64_t, int64_t> lack;  // bytes each short file system lacks
    if (rules.floorBytes != 0) {
        for (const auto& [device, free] : freeBytes) {
            if (free < rules.floorBytes) {
                lack[device] = static_cast<int64_t>(rules.floorBytes - free);
            }
        }
    }
    const auto frees = [&](uint32_t file) {
        const auto found =
            lack.find(index.Device(static_cast<EpisodeIndex::Folder>(files[file].folder)));
        if (found != lack.end()) {
            found->second -= static_cast<int64_t>(files[file].bytes);
        }
    };
    const auto take = [&](size_t e, Reason reason) {
        candidate[e] = false;
        plan.episodes.push_back(e);
        plan.reasons.push_back(reason);
        for (const uint32_t file : episodes[e].files) {
            if (--claimsLeft[file] == 0 && !files[file].removed) {
                plan.files.push_back(file);
                plan.episodeBytes += files[file].bytes;
                frees(file);
            }
        }
    };
    const auto endedBefore = [nowSeconds](const EpisodeIndex::Episode& episode, int64_t age) {
        return episode.endedAt != EpisodeIndex::kOpen && episode.endedAt < nowSeconds - age;
    };

    // Oldest first: the end time, then the key (a steady order for equal times).
    std::vector<size_t> order(episodes.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&episodes](size_t a, size_t b) {
        return episodes[a].endedAt != episodes[b].endedAt
                   ? episodes[a].endedAt < episodes[b].endedAt
                   : episodes[a].key < episodes[b].key;
    });
    if (rules.alarmKeepDays > 0) {
        for (const size_t e : order) {
            if (candidate[e] && endedBefore(episodes[e], int64_t{rules.alarmKeepDays} * 86400)) {
                take(e, Reason::kAge);
            }
        }
    }
    if (rules.recordKeepDays > 0) {
        for (const uint32_t file : index.ManualFiles()) {
            if (files[file].modifiedSeconds < nowSeconds - int64_t{rules.recordKeepDays} * 86400) {
                plan.manualFiles.push_back(file);
                plan.manualBytes += files[file].bytes;
                frees(file);
            }
        }
    }
    const auto short_ = [&lack] {
        return std::any_of(lack.begin(), lack.end(), [](const auto& l) { return l.second > 0; });
    };
    for (const size_t e : order) {
        if (!short_()) {
            break;
        }
        if (!candidate[e] || !endedBefore(episodes[e], kRecentSeconds)) {
            continue;
        }
        // Only an episode with a file on a short file system helps.
        const bool helps =
            std::any_of(episodes[e].files.begin(), episodes[e].files.end(), [&](uint32_t file) {
                const auto found =
                    lack.find(index.Device(static_cast<EpisodeIndex::Folder>(files[file].folder)));
                return found != lack.end() && found->second > 0;
            });
        if (helps) {
            take(e, Reason::kFloor);
        }
    }
    for (const auto& [device, bytes] : lack) {
        if (bytes > 0) {
            plan.shortDevices.push_back(device);
        }
    }
    return plan;
}
