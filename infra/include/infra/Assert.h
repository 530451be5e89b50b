// The library's internal assertion: reports the broken invariant and terminates the process.
// Always active, also in release builds: it guards states the library cannot continue from.
#pragma once

namespace Velmora::Infra {

[[noreturn]] void internalAssertFailed(const char* expression, const char* function,
                                       const char* file, long line);

}  // namespace Velmora::Infra

#define INFRA_ASSERT(expression)                                                             \
    ((expression) ? static_cast<void>(0)                                                     \
                  : ::Velmora::Infra::internalAssertFailed(#expression, __PRETTY_FUNCTION__, \
                                                           __FILE__, __LINE__))
