#include "engine/work/SimpleWork.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/work/LimitedRetrySimpleWork.h"
#include "engine/work/NoOpWork.h"
#include "engine/work/WorkStatusData.h"
#include "engine/work/Workflow.h"

namespace tvl {

WorkStatus SimpleWork::Run() {
    for (;;) {
        if (IsCancelled()) {
            return WorkStatus(WorkResult::Cancelled);
        }
        WorkStatus status;
        try {
            status = ExecuteTask();
        } catch (...) {
            // No retry after an exception: the task's state is unknown.
            return WorkStatus(WorkResult::Error, std::make_shared<WorkExceptionData>(std::current_exception()));
        }
        // CanRetry counts attempts, so it is asked only for a retryable error.
        status.retry = status.result == WorkResult::RetryableError && CanRetry();
        if (!status.retry) {
            return status;
        }
        if (!retryCallbacks_.empty()) {
            const auto self = GetSimplePtr();
            for (SimpleWorkRetryCallback* callback : retryCallbacks_) {
                callback->OnSimpleWorkRetry(self, status);
            }
        }
    }
}

void SimpleWork::Reset() { cancelled_.store(false, std::memory_order_release); }

void SimpleWork::OnSetWorkflow(const std::shared_ptr<Workflow>&) {}

void SimpleWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
    workflow->QueueWork(GetSimplePtr());
}

void SimpleWork::AddRetryCallback(SimpleWorkRetryCallback* callback) { retryCallbacks_.push_back(callback); }

std::shared_ptr<SimpleWork> SimpleWork::GetSimplePtr() {
    return std::static_pointer_cast<SimpleWork>(shared_from_this());
}

std::shared_ptr<const SimpleWork> SimpleWork::GetSimplePtr() const {
    return std::static_pointer_cast<const SimpleWork>(shared_from_this());
}

bool LimitedRetrySimpleWork::CanRetry() {
    if (retries_ >= maxRetries_) {
        return false;
    }
    ++retries_;
    return true;
}

void LimitedRetrySimpleWork::Reset() {
    SimpleWork::Reset();
    retries_ = 0;
}

void NoOpWork::Describe(boost::property_tree::ptree& tree) const { tree.put("name", "NoOpWork"); }

}  // namespace tvl
