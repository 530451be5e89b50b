// Free disk space as the recording and snapshot rules need it: the bytes the calling user may
// still write on the file system that holds a folder. Tests install a fake, so the 5 GiB rules
// can be tried without filling a disk.
#pragma once

#include <cstdint>

class DiskSpace {
public:
    virtual ~DiskSpace() = default;

    // Bytes available to the calling user on the file system holding `directory`; false (and
    // *freeBytes untouched) when the folder cannot be asked, for example when it does not exist.
    // Any thread.
    virtual bool FreeBytes(const char* directory, uint64_t* freeBytes) const = 0;
    // Whether two folders lie on one file system, so that one's lack of space is the other's;
    // true when either cannot be asked. Any thread.
    virtual bool SameFileSystem(const char* first, const char* second) const;

    // The installed query: statvfs unless a test installed one (or the staged program's tests
    // name a file of free bytes in CALORVIEW_TEST_FREE_BYTES_FILE). Any thread.
    static const DiskSpace& Current();
    // Installs `space` (not owned; it must outlive its use) or, with null, the default again.
    static void Install(const DiskSpace* space);
};
