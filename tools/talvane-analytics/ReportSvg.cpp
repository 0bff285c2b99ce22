#include "tools/talvane-analytics/ReportSvg.h"

#include <algorithm>
#include <boost/locale/utf.hpp>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace tvl::analytics {
namespace {

constexpr int kLeftMargin = 64;
constexpr int kRightMargin = 16;
constexpr int kTopMargin = 30;
constexpr int kBottomMargin = 40;
constexpr int kAxisTicks = 4;
constexpr int kMinLabelSpacing = 44;
constexpr int kBarHeight = 22;
constexpr int kBarGap = 8;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// A round step (1, 2 or 5 times a power of ten) that splits `top` into about
// kAxisTicks parts.
double AxisStep(double top, bool wholeNumbers) {
    const double raw = top / kAxisTicks;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double residual = raw / magnitude;
    const double step = (residual <= 1 ? 1 : residual <= 2 ? 2 : residual <= 5 ? 5 : 10) * magnitude;
    return wholeNumbers ? std::max(step, 1.0) : step;
}

std::string Format(const ChartLayout& layout, double value) {
    if (layout.formatValue) {
        return layout.formatValue(value);
    }
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string Open(const ChartLayout& layout, int height) {
    std::ostringstream svg;
    svg << "<svg class=\"chart\" width=\"" << layout.width << "\" height=\"" << height << "\" viewBox=\"0 0 "
        << layout.width << ' ' << height << "\" role=\"img\" aria-label=\"" << MarkupText(layout.title)
        << "\"><title>" << MarkupText(layout.title) << "</title>";
    return svg.str();
}

}  // namespace

std::string MarkupText(const std::string& text) {
    using Traits = boost::locale::utf::utf_traits<char>;
    std::string out;
    out.reserve(text.size());
    auto it = text.begin();
    while (it != text.end()) {
        const auto start = it;
        const boost::locale::utf::code_point c = Traits::decode(it, text.end());
        if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete) {
            // decode may stop anywhere in a broken sequence; skip one byte.
            it = start + 1;
            out += "\xEF\xBF\xBD";
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if ((c < 0x20 && c != '\t' && c != '\n') || c == 0xFFFE || c == 0xFFFF) {
                    out += "\xEF\xBF\xBD";
                } else {
                    out.append(start, it);
                }
        }
    }
    return out;
}

std::string ColumnChart(const std::vector<std::string>& categories, const std::vector<ChartSeries>& series,
                        const ChartLayout& layout) {
    const int height = layout.height;
    const double plotWidth = layout.width - kLeftMargin - kRightMargin;
    const double plotHeight = height - kTopMargin - kBottomMargin;
    const double bottom = kTopMargin + plotHeight;
    const std::size_t count = std::max<std::size_t>(categories.size(), 1);
    const double groupWidth = plotWidth / static_cast<double>(count);

    double largest = 0;
    for (const ChartSeries& s : series) {
        for (const double v : s.values) {
            largest = std::max(largest, v);
        }
    }
    const double step = AxisStep(largest > 0 ? largest : 1, layout.wholeNumbers);
    const double top = std::max(1.0, std::ceil((largest > 0 ? largest : 1) / step)) * step;
    const auto y = [&](double v) { return bottom - plotHeight * std::max(v, 0.0) / top; };

    std::ostringstream svg;
    svg << Open(layout, height);
    // Grid and axis labels.
    for (double tick = 0; tick <= top * 1.0001; tick += step) {
        svg << "<line class=\"grid\" x1=\"" << kLeftMargin << "\" x2=\"" << kLeftMargin + plotWidth
            << "\" y1=\"" << Number(y(tick)) << "\" y2=\"" << Number(y(tick)) << "\"/>"
            << "<text class=\"tick\" x=\"" << kLeftMargin - 6 << "\" y=\"" << Number(y(tick) + 4)
            << "\" text-anchor=\"end\">" << MarkupText(Format(layout, tick)) << "</text>";
    }
    // Legend.
    if (series.size() > 1) {
        double x = kLeftMargin;
        for (const ChartSeries& s : series) {
            svg << "<rect x=\"" << Number(x) << "\" y=\"8\" width=\"12\" height=\"12\" fill=\""
                << MarkupText(s.colour) << "\"/><text class=\"legend\" x=\"" << Number(x + 17)
                << "\" y=\"18\">" << MarkupText(s.name) << "</text>";
            x += 30 + 8 * static_cast<double>(s.name.size());
        }
    }
    // Data.
    const bool lines = categories.size() > kMaxColumnCategories;
    const double columnWidth =
        groupWidth * 0.8 / static_cast<double>(std::max<std::size_t>(series.size(), 1));
    for (std::size_t k = 0; k < series.size(); ++k) {
        const ChartSeries& s = series[k];
        if (lines) {
            svg << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << MarkupText(s.colour)
                << "\" points=\"";
            for (std::size_t i = 0; i < s.values.size() && i < categories.size(); ++i) {
                svg << (i ? " " : "") << Number(kLeftMargin + (static_cast<double>(i) + 0.5) * groupWidth)
                    << ',' << Number(y(s.values[i]));
            }
            svg << "\"/>";
            continue;
        }
        for (std::size_t i = 0; i < s.values.size() && i < categories.size(); ++i) {
            const double x = kLeftMargin + static_cast<double>(i) * groupWidth + groupWidth * 0.1 +
                             static_cast<double>(k) * columnWidth;
            const double v = s.values[i];
            svg << "<rect x=\"" << Number(x) << "\" y=\"" << Number(y(v)) << "\" width=\""
                << Number(columnWidth) << "\" height=\"" << Number(bottom - y(v)) << "\" fill=\""
                << MarkupText(s.colour) << "\"><title>"
                << MarkupText(s.name.empty() ? Format(layout, v) : s.name + ": " + Format(layout, v))
                << "</title></rect>";
            if (v > 0 && columnWidth >= 18) {
                svg << "<text class=\"value\" x=\"" << Number(x + columnWidth / 2) << "\" y=\""
                    << Number(y(v) - 4) << "\" text-anchor=\"middle\">" << MarkupText(Format(layout, v))
                    << "</text>";
            }
        }
    }
    svg << "<line class=\"axis\" x1=\"" << kLeftMargin << "\" x2=\"" << kLeftMargin + plotWidth << "\" y1=\""
        << Number(bottom) << "\" y2=\"" << Number(bottom) << "\"/>";
    // Category labels, thinned out so that they never overlap.
    const std::size_t every =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(kMinLabelSpacing / groupWidth)));
    std::string previousSecond;
    for (std::size_t i = 0; i < categories.size(); i += every) {
        const std::string& label = categories[i];
        const auto split = label.find('\n');
        const std::string first = label.substr(0, split);
        const std::string second = split == std::string::npos ? std::string() : label.substr(split + 1);
        const double x = kLeftMargin + (static_cast<double>(i) + 0.5) * groupWidth;
        svg << "<text class=\"tick\" x=\"" << Number(x) << "\" y=\"" << Number(bottom + 16)
            << "\" text-anchor=\"middle\">" << MarkupText(first) << "</text>";
        if (!second.empty() && second != previousSecond) {
            svg << "<text class=\"tick strong\" x=\"" << Number(x) << "\" y=\"" << Number(bottom + 32)
                << "\" text-anchor=\"middle\">" << MarkupText(second) << "</text>";
            previousSecond = second;
        }
    }
    svg << "</svg>";
    return svg.str();
}

std::string BarChart(const std::vector<std::string>& labels, const std::vector<double>& values,
                     const std::string& colour, const ChartLayout& layout) {
    constexpr int labelWidth = 200;
    constexpr int valueWidth = 110;
    const int height = kBarGap + static_cast<int>(labels.size()) * (kBarHeight + kBarGap);
    const double plotWidth = layout.width - labelWidth - valueWidth;
    double largest = 0;
    for (const double v : values) {
        largest = std::max(largest, v);
    }
    std::ostringstream svg;
    svg << Open(layout, height);
    for (std::size_t i = 0; i < labels.size() && i < values.size(); ++i) {
        const double y = kBarGap + static_cast<double>(i) * (kBarHeight + kBarGap);
        const double width = largest > 0 ? plotWidth * std::max(values[i], 0.0) / largest : 0;
        // Long labels (error texts, host names) are cut; the full text is the
        // bar's tooltip and stands in the table beside the chart.
        std::string label = labels[i];
        if (label.size() > 30) {
            label = label.substr(0, 28) + "…";
        }
        svg << "<text class=\"label\" x=\"" << labelWidth - 8 << "\" y=\"" << Number(y + kBarHeight / 2.0 + 4)
            << "\" text-anchor=\"end\">" << MarkupText(label) << "</text>"
            << "<rect x=\"" << labelWidth << "\" y=\"" << Number(y) << "\" width=\""
            << Number(std::max(width, 1.0)) << "\" height=\"" << kBarHeight << "\" fill=\""
            << MarkupText(colour) << "\"><title>" << MarkupText(labels[i] + ": " + Format(layout, values[i]))
            << "</title></rect>"
            << "<text class=\"value\" x=\"" << Number(labelWidth + std::max(width, 1.0) + 6) << "\" y=\""
            << Number(y + kBarHeight / 2.0 + 4) << "\">" << MarkupText(Format(layout, values[i]))
            << "</text>";
    }
    svg << "</svg>";
    return svg.str();
}

}  // namespace tvl::analytics
