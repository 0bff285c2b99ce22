#include "engine/work/Work.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/work/CompositeWork.h"
#include "engine/work/Workflow.h"
#include "engine/work/WorkStatus.h"

namespace tvl {

Work::Work(WorkCompleteCallback* callback) {
    if (callback != nullptr) {
        completeCallbacks_.push_back(callback);
    }
}

void Work::Describe(boost::property_tree::ptree&) const {}

bool Work::CanRetry() { return false; }

void Work::DescribeStatus(const WorkStatus& status, boost::property_tree::ptree& tree) const {
    Describe(tree);
    boost::property_tree::ptree statusTree;
    status.Describe(statusTree);
    tree.add_child("workStatus", statusTree);
}

std::shared_ptr<Work> Work::GetPtr() { return shared_from_this(); }

std::shared_ptr<const Work> Work::GetPtr() const { return shared_from_this(); }

void Work::SetParent(const std::shared_ptr<CompositeWork>& parent) { parent_ = parent; }

void Work::SetWorkflow(const std::shared_ptr<Workflow>& workflow) {
    workflow_ = workflow;
    OnSetWorkflow(workflow);
}

void Work::AddCompleteCallback(WorkCompleteCallback* callback) { completeCallbacks_.push_back(callback); }

void Work::NotifyComplete(const WorkStatus& status) {
    // Held for the whole call: a callback may drop the last other owner.
    const std::shared_ptr<const Work> self = shared_from_this();
    if (const auto workflow = workflow_.lock()) {
        workflow->OnWorkComplete(self, status);
        if (workflow->DropsReport(*this)) {
            return;
        }
    }
    NotifyListeners(status);
}

void Work::NotifyListeners(const WorkStatus& status) {
    const std::shared_ptr<const Work> self = shared_from_this();
    for (WorkCompleteCallback* callback : completeCallbacks_) {
        callback->OnWorkComplete(self, status);
    }
    if (const auto parent = parent_.lock()) {
        parent->OnWorkComplete(self, status);
    }
}

}  // namespace tvl
