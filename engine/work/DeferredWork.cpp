#include "engine/work/DeferredWork.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/work/NoOpWork.h"
#include "engine/work/Workflow.h"

namespace tvl {

using Lock = std::lock_guard<std::recursive_mutex>;
using ChildLock = std::lock_guard<std::mutex>;

bool DeferredWork::SetWork(const std::shared_ptr<Work>& work) {
    ChildLock lock(childMutex_);
    if (child_) {
        return false;
    }
    child_ = work ? work : NoOpWork::Create();
    // Attached before the mutex is released, so whoever queues the child sees
    // it with its parent and workflow set.
    AttachChild(child_);
    return true;
}

std::shared_ptr<Work> DeferredWork::GetWork() const {
    ChildLock lock(childMutex_);
    return child_;
}

void DeferredWork::Describe(boost::property_tree::ptree& tree) const { tree.put("name", "DeferredWork"); }

void DeferredWork::Reset() {
    Lock lock(Mutex());
    CompositeWork::Reset();
    if (const auto child = GetWork()) {
        child->Reset();
    }
}

void DeferredWork::OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) {
    if (const auto child = GetWork()) {
        child->SetWorkflow(workflow);
    }
}

void DeferredWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    SetWork(nullptr);
    QueueChild(GetWork(), workflow, 0);
}

bool DeferredWork::IsActiveChild(const std::shared_ptr<const Work>& child) {
    ChildLock lock(childMutex_);
    return child_.get() == child.get();
}

CompositeResult DeferredWork::OnChildComplete(const std::shared_ptr<const Work>&, const WorkStatus& status) {
    return CompositeResult(status);
}

}  // namespace tvl
