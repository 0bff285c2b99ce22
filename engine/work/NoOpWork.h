#pragma once

// A simple work that succeeds at once; stands in for a child that was never
// supplied. Thread-safe like every simple work.

#include "engine/work/SimpleWork.h"

namespace tvl {

class NoOpWork : public SimpleWork {
public:
    explicit NoOpWork(WorkCompleteCallback* callback = nullptr) : SimpleWork(callback) {}

    static std::shared_ptr<NoOpWork> Create(WorkCompleteCallback* callback = nullptr) {
        return std::make_shared<NoOpWork>(callback);
    }

    void Describe(boost::property_tree::ptree& tree) const override;
    void Abort() override {}

protected:
    WorkStatus ExecuteTask() override { return WorkStatus(WorkResult::Success); }
};

}  // namespace tvl
