#include "tools/talvane-analytics/Report.h"

#include <boost/date_time/gregorian/gregorian.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/program_options/variables_map.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <regex>

#include "tools/common/CommandLine.h"
#include "tools/talvane-analytics/ReportDatabase.h"
#include "tools/talvane-analytics/ReportFigures.h"
#include "tools/talvane-analytics/ReportHtml.h"
#include "tools/talvane-analytics/ReportJson.h"

namespace tvl::analytics {
namespace {

namespace po = boost::program_options;
using cli::UsageError;

// "2026-05-01", "2026-05-01T10:00" or "2026-05-01T10:00:30", optionally with a
// final "Z"; always UTC.
std::int64_t ParseSince(const std::string& text) {
    static const std::regex form(R"(\d{4}-\d{2}-\d{2}(T\d{2}:\d{2}(:\d{2})?)?Z?)");
    if (!std::regex_match(text, form)) {
        throw UsageError("--since takes a date as 2026-05-01 or 2026-05-01T10:00 (UTC), not '" + text + "'");
    }
    std::string value = text.back() == 'Z' ? text.substr(0, text.size() - 1) : text;
    if (value.size() == 16) {
        value += ":00";
    }
    // Boost reads the time of day as a duration, so "25:00" would be taken
    // as 01:00 the day after.
    if (value.size() > 10 && (std::stoi(value.substr(11, 2)) > 23 || std::stoi(value.substr(14, 2)) > 59 ||
                              std::stoi(value.substr(17, 2)) > 59)) {
        throw UsageError("--since names no such date or time: '" + text + "'");
    }
    try {
        const boost::posix_time::ptime when =
            value.size() == 10 ? boost::posix_time::ptime(boost::gregorian::from_simple_string(value))
                               : boost::posix_time::from_iso_extended_string(value);
        if (when.is_special()) {
            throw std::out_of_range("not a time");
        }
        return (when - boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1))).total_milliseconds();
    } catch (const std::exception&) {
        // Boost says "Day of month value is out of range 1..31" and the like,
        // without naming the option.
        throw UsageError("--since names no such date or time: '" + text + "'");
    }
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Through a temporary file and a rename, so that a page being served or
// opened is never seen half written.
void WriteFile(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            std::remove(temporary.c_str());
            throw std::runtime_error("cannot write " + path);
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace

int RunReport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    cli::CommandLine commandLine(
        "talvane-analytics report",
        {"--database PATH [--output FILE] [--json] [--since DATE | --hours N]",
         "--postgres CONNINFO [--output FILE] [--json] [--since DATE | --hours N]"},
        "Writes the analytics report from the collector's database: one HTML page with its charts inline,\n"
        "or the same figures as JSON. Without --output it goes to standard output.");
    const auto text = [](const char* name) { return po::value<std::string>()->value_name(name); };
    commandLine.Add()                                                                             //
        ("database", text("PATH"), "the collector's SQLite database file")                        //
        ("postgres", text("CONNINFO"), "the collector's PostgreSQL database, as libpq takes it")  //
        ("output", text("FILE"), "where the page (or the JSON) is written")                       //
        ("json", "the figures as JSON instead of the page")                                       //
        ("since", text("DATE"), "records received from this UTC date or time on")                 //
        ("hours", text("N"), "records received in the last N hours");
    return commandLine.Run(arguments, out, err, [&](const po::variables_map& values) {
        if (values.count("database") == values.count("postgres")) {
            throw UsageError("give one of --database and --postgres");
        }
        if (values.count("since") != 0 && values.count("hours") != 0) {
            throw UsageError("give --since or --hours, not both");
        }
        const std::int64_t now = NowMs();
        std::optional<std::int64_t> since;
        if (values.count("since") != 0) {
            since = ParseSince(cli::Text(values, "since"));
        } else if (values.count("hours") != 0) {
            since =
                now - cli::NumberInRange("--hours", cli::Text(values, "hours"), 1, kMaxReportHours) * kHourMs;
        }
        std::unique_ptr<ReportDatabase> database;
        if (values.count("database") != 0) {
            const std::string path = cli::Text(values, "database");
            if (path.empty()) {
                throw UsageError("--database needs a file");
            }
            database = OpenSqliteReportDatabase(path);
        } else {
            database = OpenPostgresReportDatabase(cli::Text(values, "postgres"));
        }
        const ReportFigures figures = ComputeReportFigures(*database, since, now);
        const std::string report = values.count("json") != 0 ? ReportJson(figures) : ReportHtml(figures);
        if (values.count("output") != 0) {
            WriteFile(cli::Text(values, "output"), report);
        } else {
            out << report << std::flush;
        }
        return 0;
    });
}

}  // namespace tvl::analytics
