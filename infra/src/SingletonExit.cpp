#include "infra/SingletonExit.h"

#include "infra/Logger.h"

namespace Velmora::Infra {

void SingletonExit::registerAtExit(void (*handler)(), const char* file, const char* function,
                                   int line) {
    if (std::atexit(handler) != 0) {
        INFRA_INFO("%s:%s atexit failed, line : %d\n", file, function, line);
    }
}

}  // namespace Velmora::Infra
