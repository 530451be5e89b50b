#include "infra/Assert.h"

#include <cstdio>
#include <cstdlib>

#include "infra/Logger.h"

namespace Velmora::Infra {

void internalAssertFailed(const char* expression, const char* function, const char* file,
                          long line) {
    std::fprintf(stderr, "***** Internal Program Error - assertion (%s) failed in %s: %s(%ld)\n",
                 expression, function, file, line);
    logInfo("custom_abort, line : %d\n", static_cast<int>(line));
    std::abort();
}

}  // namespace Velmora::Infra
