// Where container bytes go: an append-only file that can be cut back to a known good length
// after a failed write, so a half-written record never stays in the file. Tests install a
// factory that makes failing sinks (a full disk without filling one).
//
// Threads: one sink is used by one thread at a time; Create and InstallFactory from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Media {

class FileSink {
public:
    virtual ~FileSink() = default;

    // Appends all `size` bytes, or returns false (Error() holds the errno) and leaves the
    // length the caller may restore with Truncate().
    virtual bool Write(const void* data, size_t size) = 0;
    // Cuts the file back to `size` bytes and continues appending there.
    virtual bool Truncate(int64_t size) = 0;
    // Data written so far reaches the disk (fdatasync).
    virtual bool Sync() = 0;
    // Length of what was written successfully, the next append position.
    virtual int64_t Size() const = 0;
    // errno of the last failure, 0 when none.
    virtual int Error() const = 0;
    virtual const std::string& Path() const = 0;

    // Creates `path` for writing; never opens an existing file. Null on failure, with
    // *error set to the errno.
    static std::unique_ptr<FileSink> Create(const std::string& path, int* error);

    using Factory = std::function<std::unique_ptr<FileSink>(const std::string& path, int* error)>;
    // Replaces how Create makes sinks; an empty factory restores real files.
    static void InstallFactory(Factory factory);
};

}  // namespace Media
