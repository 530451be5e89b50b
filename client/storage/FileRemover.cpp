#include "storage/FileRemover.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

const FileRemover g_unlink;
std::atomic<const FileRemover*> g_installed{nullptr};

}  // namespace

int FileRemover::Remove(int directory, const char* name) const {
    return ::unlinkat(directory, name, 0) == 0 ? 0 : errno;
}

const FileRemover& FileRemover::Current() {
    const FileRemover* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : g_unlink;
}

void FileRemover::Install(const FileRemover* remover) {
    g_installed.store(remover, std::memory_order_release);
}
