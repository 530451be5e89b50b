#include "infra/CTimerManager.h"

#include "infra/CThread.h"
#include "infra/Logger.h"
#include "infra/SingletonExit.h"
#include "infra/TimerManagerInternal.h"

namespace Velmora::Infra {

// Never destroyed, like the manager it fronts.
CTimerManager* CTimerManager::instance() {
    return SingletonExit::instance<CTimerManager>(SingletonExit::Lifetime::kForever, __FILE_NAME__,
                                                  __func__, __LINE__);
}

CTimerManager::CTimerManager() {
    INFRA_TRACE("[%s:%d] this:%p tid:%d, CTimerManager::CTimerManager()>>>>>>>>>\n", __FILE_NAME__,
                __LINE__, static_cast<void*>(this), CThread::currentThreadId());
    m_internal = TimerManagerInternal::instance();
}

}  // namespace Velmora::Infra
