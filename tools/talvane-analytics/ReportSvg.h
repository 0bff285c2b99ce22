#pragma once

// The report's charts as inline SVG, and the one escaping of database text
// into the page. Everything drawn comes out as text; nothing refers to a
// file, a font or a script, so the page stays readable offline and a hostile
// value (a node name, an error text) stays text. Stateless functions; safe
// from any thread.

#include <functional>
#include <string>
#include <vector>

namespace tvl::analytics {

// `text` for an HTML or SVG element or attribute: & < > " ' escaped, and
// what XML cannot hold (bytes that are not UTF-8, control characters other
// than tab and line feed) replaced by U+FFFD, so the page parses as XML too.
std::string MarkupText(const std::string& text);

struct ChartSeries {
    std::string name;
    std::string colour;          // a CSS colour, e.g. "#4e79a7"
    std::vector<double> values;  // one per category
};

struct ChartLayout {
    int width = 920;
    int height = 260;                                // for column charts; bar charts size themselves
    std::string title;                               // the chart's accessible name
    std::function<std::string(double)> formatValue;  // axis ticks and value labels
    bool wholeNumbers = false;                       // axis steps of at least 1
};

// One group of columns per category along the x axis, one column per series,
// a legend when there are several series. A category label may hold a second
// line after '\n', which is drawn only where it changes (the date under the
// hours). Past kMaxColumnCategories categories the series are drawn as lines.
std::string ColumnChart(const std::vector<std::string>& categories, const std::vector<ChartSeries>& series,
                        const ChartLayout& layout);

inline constexpr std::size_t kMaxColumnCategories = 48;

// One horizontal bar per label, with its value written after the bar.
std::string BarChart(const std::vector<std::string>& labels, const std::vector<double>& values,
                     const std::string& colour, const ChartLayout& layout);

}  // namespace tvl::analytics
