#pragma once

// The report as one self-contained HTML page: inline CSS, charts as inline
// SVG, no script and nothing fetched from anywhere. The page is also
// well-formed XML (void elements closed, no named entities but XML's own),
// so that a plain XML parser can check it. Stateless; safe from any thread.

#include <cstdint>
#include <string>

namespace tvl::analytics {

struct ReportFigures;

std::string ReportHtml(const ReportFigures& figures);

// How the page writes figures and times; UtcText is also the JSON's.
std::string FormatCount(std::int64_t count);  // 12,345
std::string FormatBytes(double bytes);        // 1.45 MB (powers of 1000)
std::string FormatDuration(double seconds);   // 850 ms, 12.4 s, 4 min 05 s, 2 h 03 min
std::string FormatUtc(std::int64_t ms);       // 2026-05-01 10:00 UTC
// `ms` since 1970 in UTC, as strftime writes it with `format`.
std::string UtcText(std::int64_t ms, const char* format);

}  // namespace tvl::analytics
