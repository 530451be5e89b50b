#include "media/FileSink.h"

#include <mutex>

#include "media/PosixFileSink.h"

namespace Media {

namespace {

std::mutex g_factoryMutex;
FileSink::Factory g_factory;  // empty: real files

}  // namespace

std::unique_ptr<FileSink> FileSink::Create(const std::string& path, int* error) {
    Factory factory;
    {
        std::lock_guard lock(g_factoryMutex);
        factory = g_factory;
    }
    return factory ? factory(path, error) : PosixFileSink::Open(path, error);
}

void FileSink::InstallFactory(Factory factory) {
    std::lock_guard lock(g_factoryMutex);
    g_factory = std::move(factory);
}

}  // namespace Media
