#pragma once

// The outcome of one run of a work: a result code, whether the work is about
// to be run again at once, and optional details. A value type, copied freely;
// copies share the details, which are immutable once attached.

#include <cstdint>
#include <memory>

#include "engine/work/WorkDescriptor.h"

namespace tvl {

class WorkStatusData;

enum class WorkResult : std::uint8_t {
    Success = 0,
    Failure = 1,         // expected negative outcome; composites decide what it means
    Cancelled = 2,       // stopped because the workflow paused or stopped; queued again
    RetryableError = 3,  // may go away if the work runs again
    Error = 4,           // ends the whole workflow; also what an escaped exception becomes
};

class WorkStatus : public WorkDescriptor {
public:
    // Error with no details: a status nobody has filled in yet must never read as success.
    WorkStatus() = default;
    explicit WorkStatus(WorkResult result, std::shared_ptr<WorkStatusData> data = nullptr)
        : result(result), data(std::move(data)) {}
    WorkStatus(const WorkStatus&) = default;
    WorkStatus& operator=(const WorkStatus&) = default;
    WorkStatus(WorkStatus&&) = default;
    WorkStatus& operator=(WorkStatus&&) = default;

    void Describe(boost::property_tree::ptree& tree) const override;

    WorkResult result = WorkResult::Error;
    // Set only by whoever decides the work runs again at once (the run loop or a composite).
    bool retry = false;
    std::shared_ptr<WorkStatusData> data;
};

}  // namespace tvl
