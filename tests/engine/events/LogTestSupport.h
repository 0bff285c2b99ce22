#pragma once

// Pieces shared by the work-log tests: reading a log folder back, splitting a
// line into its time and JSON, and works that describe themselves as the
// transfer works do.

#include <boost/property_tree/ptree.hpp>
#include <ctime>
#include <string>
#include <vector>

#include "engine/work/LimitedRetrySimpleWork.h"

namespace tvl::test {

// The names of the regular files directly in the folder, sorted.
std::vector<std::string> FilesIn(const std::string& folder);
std::string ReadFile(const std::string& path);
// The lines of a text, each without its line feed; fails the test when the
// text does not end with one.
std::vector<std::string> Lines(const std::string& text);

struct LogLine {
    std::time_t time = 0;
    boost::property_tree::ptree tree;
};
// Checks "[YYYY-MM-DD HH:MM:SS] {json}" and parses both parts; false (with a
// test failure) when the line is malformed.
bool ParseLogLine(const std::string& line, LogLine* parsed);

// A work that ends with a chosen result `failures` times in a row before it
// succeeds, retrying up to `maxRetries` times, and says whether it is important.
class DescribedWork : public LimitedRetrySimpleWork {
  public:
    DescribedWork(std::string name, bool important, WorkResult failure = WorkResult::Success,
                  int failures = 0, std::uint32_t maxRetries = 0)
        : LimitedRetrySimpleWork(maxRetries),
          name_(std::move(name)),
          important_(important),
          failure_(failure),
          failures_(failures) {}

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return important_; }
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    const std::string name_;
    const bool important_;
    const WorkResult failure_;
    int failures_;
};

}  // namespace tvl::test
