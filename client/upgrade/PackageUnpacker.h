// Extracts a firmware upgrade package (a zip archive) into a folder, refusing archives that
// would write outside it, through a symbolic link, or more than the limits allow.
//
// Every entry is checked before anything is written: names (made relative and resolved
// lexically), the entry count, the declared total size, and what already exists on disk. Each
// file is then written under a temporary name in its folder and renamed into place only once
// its size and CRC are verified, so a failed unpack leaves no partial file under a real name
// (files completed before the failure stay).
//
// Threads: no shared state; concurrent calls must use different folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class PackageUnpacker {
public:
    struct Limits {
        uint64_t maxTotalBytes = uint64_t{2} << 30;  // 2 GiB unpacked in all
        int maxEntries = 10000;
        size_t maxNameLength = 259;  // after the name clean-up
    };
    // Extracts every entry of the zip archive `zipPath` into `folder` ("" = working directory,
    // else a path ending with "/"). 1 on success, 0 on failure with a one-line reason in *error.
    static int Unpack(const std::string& zipPath, const std::string& folder, std::string* error,
                      const Limits& limits);
    // The same with the default Limits. (An overload rather than a default argument: GCC cannot
    // use a nested struct's member initializers in a default argument of its enclosing class.)
    static int Unpack(const std::string& zipPath, const std::string& folder, std::string* error);
};
