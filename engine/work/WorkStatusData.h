#pragma once

// Details attached to a WorkStatus. WorkStatusData is a virtual base so that
// transfer-level details can derive from both a transfer base and one of the
// generic details below while sharing one WorkStatusData. Instances are
// immutable after construction and may be read from any thread.

#include <exception>
#include <string>

#include "engine/work/WorkDescriptor.h"

namespace tvl {

class WorkStatusData : public WorkDescriptor {
public:
    WorkStatusData(const WorkStatusData&) = delete;
    WorkStatusData& operator=(const WorkStatusData&) = delete;

    // A one-line form for logs and error reports; empty unless a subclass has one.
    virtual std::string GetSummary() const;

protected:
    WorkStatusData() = default;
};

// An error told in words.
class WorkErrorData : public virtual WorkStatusData {
public:
    explicit WorkErrorData(std::string message) : message_(std::move(message)) {}

    void Describe(boost::property_tree::ptree& tree) const override;
    std::string GetSummary() const override;
    const std::string& GetMessage() const { return message_; }

private:
    std::string message_;
};

// An exception that escaped a task, kept so that whoever inspects the status
// can rethrow it and classify it.
class WorkExceptionData : public virtual WorkStatusData {
public:
    explicit WorkExceptionData(std::exception_ptr exception) : exception_(std::move(exception)) {}

    // Throws the stored exception; std::logic_error when none is stored.
    [[noreturn]] void Rethrow() const;

    void Describe(boost::property_tree::ptree& tree) const override;
    std::string GetSummary() const override;
    const std::exception_ptr& GetException() const { return exception_; }

private:
    std::exception_ptr exception_;
};

}  // namespace tvl
