// What the emulated devices of the tests share: the check that umockdev's preload is in the
// process, and the ioctl argument resolved into this process.
#pragma once

#include <dlfcn.h>
#include <umockdev.h>

#include <cstddef>
#include <string>

namespace CalorviewTest {

// Why umockdev cannot emulate devices for this process (`what` is not tested then); empty
// when it can. The preload must be in the process from its start (umockdev-wrapper): loaded
// later, it would miss the files the libraries have opened.
inline std::string umockdevUnavailable(const std::string& what) {
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (preload != nullptr) {
        dlclose(preload);
        return {};
    }
    return "umockdev's preload is not active in this process (run it under umockdev-wrapper): " +
           what + " is not tested here";
}

// The ioctl argument as a `size`-byte structure in the client; a reference the caller drops.
inline UMockdevIoctlData* resolveArgument(UMockdevIoctlClient* client, size_t size) {
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
}

}  // namespace CalorviewTest
