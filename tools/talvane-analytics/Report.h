#pragma once

// `talvane-analytics report`: reads the collector's database (SQLite file or
// PostgreSQL connection string) and writes the publisher's report, one
// self-contained HTML page with inline SVG charts, or the same figures as
// JSON. The database is only read. Not thread-safe; one call per report.

#include <iosfwd>
#include <string>
#include <vector>

namespace tvl::analytics {

// `arguments` are the words after "report":
//   --database PATH | --postgres CONNINFO [--output FILE] [--json]
//   [--since ISO-DATE | --hours N]
// The page (or JSON) goes to --output, else to `out`. Returns the exit status:
// 0 on success, 2 for a usage error, 1 when the database cannot be read (a
// missing file, a database without the collector's tables), with one line
// on `err`.
int RunReport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tvl::analytics
