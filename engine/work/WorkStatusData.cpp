#include "engine/work/WorkStatusData.h"

#include <boost/core/demangle.hpp>
#include <boost/property_tree/ptree.hpp>
#include <stdexcept>
#include <typeinfo>

namespace tvl {

namespace {

const char kUnknownException[] = "Unknown exception type";

std::string TypeName(const std::exception& e) { return boost::core::demangle(typeid(e).name()); }

}  // namespace

std::string WorkStatusData::GetSummary() const { return std::string(); }

void WorkErrorData::Describe(boost::property_tree::ptree& tree) const { tree.put("errorMessage", message_); }

std::string WorkErrorData::GetSummary() const { return message_; }

void WorkExceptionData::Rethrow() const {
    if (!exception_) {
        throw std::logic_error("WorkExceptionData::Rethrow called with no exception_ptr");
    }
    std::rethrow_exception(exception_);
}

void WorkExceptionData::Describe(boost::property_tree::ptree& tree) const {
    try {
        Rethrow();
    } catch (const std::exception& e) {
        tree.put("exception", TypeName(e));
        tree.put("what", e.what());
    } catch (...) {
        tree.put("exception", kUnknownException);
    }
}

std::string WorkExceptionData::GetSummary() const {
    try {
        Rethrow();
    } catch (const std::exception& e) {
        return TypeName(e);
    } catch (...) {
        return kUnknownException;
    }
}

}  // namespace tvl
