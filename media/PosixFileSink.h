// A FileSink on a real file: created exclusively (an existing file is never opened), appended
// with write(2), cut back with ftruncate(2), made durable with fdatasync(2).
#pragma once

#include <string>

#include "media/FileSink.h"

namespace Media {

class PosixFileSink : public FileSink {
public:
    // Takes ownership of the open descriptor `fd` of `path`.
    PosixFileSink(int fd, std::string path);
    ~PosixFileSink() override;
    PosixFileSink(const PosixFileSink&) = delete;
    PosixFileSink& operator=(const PosixFileSink&) = delete;

    // Null, with *error set, when `path` exists or cannot be created.
    static std::unique_ptr<FileSink> Open(const std::string& path, int* error);

    bool Write(const void* data, size_t size) override;
    bool Truncate(int64_t size) override;
    bool Sync() override;
    int64_t Size() const override { return m_size; }
    int Error() const override { return m_error; }
    const std::string& Path() const override { return m_path; }

private:
    bool Fail();

    int m_fd;
    std::string m_path;
    int64_t m_size = 0;
    int m_error = 0;
};

}  // namespace Media
