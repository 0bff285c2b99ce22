#pragma once

// The report's figures as one JSON object, written by the engine's JSON text
// form: every value a string, as in the documents the engine posts, numbers
// in plain decimal (times in seconds, throughput in bytes per second, rates
// from 0 to 1). Stateless; safe from any thread.

#include <string>

namespace tvl::analytics {

struct ReportFigures;

std::string ReportJson(const ReportFigures& figures);

}  // namespace tvl::analytics
