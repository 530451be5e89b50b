// A file system that fills up: writes go through to a real file until it holds `budget` bytes,
// then fail with ENOSPC. Installed as the sink factory, it tries the full-disk rules without
// filling a disk.
#pragma once

#include <cerrno>
#include <memory>
#include <string>

#include "media/FileSink.h"
#include "media/PosixFileSink.h"

namespace CalorviewTest {

class FullDiskSink : public Media::FileSink {
public:
    FullDiskSink(std::unique_ptr<Media::FileSink> real, int64_t budget)
        : m_real(std::move(real)), m_budget(budget) {}

    // Makes every new recording file fill up after `budget` bytes.
    static void InstallFor(int64_t budget) {
        Media::FileSink::InstallFactory([budget](const std::string& path, int* error) {
            std::unique_ptr<Media::FileSink> real = Media::PosixFileSink::Open(path, error);
            return std::unique_ptr<Media::FileSink>(real ? new FullDiskSink(std::move(real), budget)
                                                         : nullptr);
        });
    }

    bool Write(const void* data, size_t size) override {
        if (m_real->Size() + static_cast<int64_t>(size) > m_budget) {
            m_error = ENOSPC;
            return false;
        }
        return m_real->Write(data, size);
    }
    bool Truncate(int64_t size) override { return m_real->Truncate(size); }
    bool Sync() override { return m_real->Sync(); }
    int64_t Size() const override { return m_real->Size(); }
    int Error() const override { return m_error; }
    const std::string& Path() const override { return m_real->Path(); }

private:
    std::unique_ptr<Media::FileSink> m_real;
    int64_t m_budget;
    int m_error = 0;
};

}  // namespace CalorviewTest
