#include "tests/engine/events/LogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "engine/work/WorkStatusData.h"

namespace tvl::test {

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    EXPECT_EQ('\n', text.back()) << "the log ends in the middle of a line";
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool ParseLogLine(const std::string& line, LogLine* parsed) {
    static const std::regex form(R"(^\[(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\] (\{.*\}|\[.*\])$)");
    std::smatch match;
    if (!std::regex_match(line, match, form)) {
        ADD_FAILURE() << "malformed log line: " << line;
        return false;
    }
    std::tm parts{};
    parts.tm_year = std::stoi(match[1]) - 1900;
    parts.tm_mon = std::stoi(match[2]) - 1;
    parts.tm_mday = std::stoi(match[3]);
    parts.tm_hour = std::stoi(match[4]);
    parts.tm_min = std::stoi(match[5]);
    parts.tm_sec = std::stoi(match[6]);
    parsed->time = timegm(&parts);
    std::istringstream json(match[7].str());
    try {
        boost::property_tree::read_json(json, parsed->tree);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unreadable JSON in log line: " << line << ": " << error.what();
        return false;
    }
    return true;
}

void DescribedWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", name_);
    if (important_) {
        tree.put("important", true);
    }
}

WorkStatus DescribedWork::ExecuteTask() {
    if (failures_ > 0) {
        --failures_;
        return WorkStatus(failure_, std::make_shared<WorkErrorData>("attempt failed"));
    }
    return WorkStatus(WorkResult::Success);
}

}  // namespace tvl::test
