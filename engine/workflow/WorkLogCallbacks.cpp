#include "engine/events/WorkLogManager.h"
#include "engine/service/TransferBehavior.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

// The behavior names its log manager by the common event-manager base; only
// a work log manager listens to works.
WorkCompleteCallback* LogCompleteCallback(const TransferBehavior& behavior) {
    return dynamic_cast<WorkLogManager*>(behavior.logManager);
}

SimpleWorkRetryCallback* LogRetryCallback(const TransferBehavior& behavior) {
    return dynamic_cast<WorkLogManager*>(behavior.logManager);
}

}  // namespace tvl
