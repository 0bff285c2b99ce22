#include "tools/talvane-analytics/AnalyticsDocument.h"

#include <array>
#include <boost/locale/utf.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>

namespace tvl::analytics {
namespace {

namespace pt = boost::property_tree;
namespace detail = pt::json_parser::detail;

// Each value's data starts with one letter for its JSON type, so that a
// number sent as a string, an empty array and an empty object stay apart
// (a plain property tree keeps them all as text or as an empty tree).
constexpr char kString = 's';
constexpr char kNumber = 'n';
constexpr char kObject = 'o';
constexpr char kArray = 'a';
constexpr char kOther = 'x';  // true, false, null: never part of a post

struct TooDeep {};

class TypedCallbacks : public detail::standard_callbacks<pt::ptree> {
    using Base = detail::standard_callbacks<pt::ptree>;

public:
    void on_null() {
        Base::on_null();
        current_value() = kOther;
    }
    void on_boolean(bool value) {
        Base::on_boolean(value);
        current_value() = kOther;
    }
    template <typename Range>
    void on_number(Range units) {
        Base::on_number(units);
        current_value().insert(current_value().begin(), kNumber);
    }
    void on_begin_string() {
        Base::on_begin_string();
        if (!is_key()) {
            current_value() = kString;
        }
    }
    void on_begin_array() {
        Enter();
        Base::on_begin_array();
        current_value() = kArray;
    }
    void on_end_array() {
        --depth_;
        Base::on_end_array();
    }
    void on_begin_object() {
        Enter();
        Base::on_begin_object();
        current_value() = kObject;
    }
    void on_end_object() {
        --depth_;
        Base::on_end_object();
    }

private:
    // Thrown before the parser recurses one level further.
    void Enter() {
        if (++depth_ > kMaxNestingDepth) {
            throw TooDeep();
        }
    }

    int depth_ = 0;
};

// A refusal on its way out of the checks below.
struct Refused {
    std::string reason;
};

char TypeOf(const pt::ptree& value) {
    return value.data().empty() ? kOther : value.data()[0];
}

std::string_view TextOf(const pt::ptree& value) {
    return std::string_view(value.data()).substr(1);
}

const char* TypeName(char type) {
    switch (type) {
        case kString: return "a string";
        case kNumber: return "a number";
        case kObject: return "an object";
        case kArray: return "an array";
        default: return "true, false or null";
    }
}

// The members of an object, each key once, every key in `allowed`.
class Members {
public:
    Members(const pt::ptree& object, const std::string& where, const std::set<std::string_view>& allowed)
        : where_(where) {
        std::set<std::string_view> seen;
        for (const auto& [key, value] : object) {
            if (!seen.insert(key).second) {
                throw Refused{where + Printable(key) + " is given twice"};
            }
            if (allowed.count(key) == 0) {
                throw Refused{where + Printable(key) + " is not a key of this document"};
            }
            members_.push_back({key, &value});
        }
    }

    const pt::ptree* Find(std::string_view key) const {
        for (const auto& [name, value] : members_) {
            if (name == key) {
                return value;
            }
        }
        return nullptr;
    }

    const pt::ptree& Required(std::string_view key) const {
        const pt::ptree* value = Find(key);
        if (value == nullptr) {
            throw Refused{where_ + std::string(key) + " is missing"};
        }
        return *value;
    }

    std::string Text(std::string_view key, std::size_t maxBytes) const {
        return StringValue(Required(key), where_ + std::string(key), maxBytes);
    }

    std::size_t Size() const { return members_.size(); }
    const std::vector<std::pair<std::string_view, const pt::ptree*>>& All() const { return members_; }

    static std::string StringValue(const pt::ptree& value, const std::string& name, std::size_t maxBytes) {
        if (TypeOf(value) != kString) {
            throw Refused{name + " is " + TypeName(TypeOf(value)) + ", not a string"};
        }
        if (value.data().size() - 1 > maxBytes) {
            throw Refused{name + " is longer than " + std::to_string(maxBytes) + " bytes"};
        }
        // The JSON reader lets overlong forms and encoded surrogates through,
        // and a NUL may come as \u0000; a database refuses such text, and would
        // refuse the whole batch of posts it is committed with.
        using Utf8 = boost::locale::utf::utf_traits<char>;
        const char* p = value.data().data() + 1;
        const char* const end = value.data().data() + value.data().size();
        while (p != end) {
            const boost::locale::utf::code_point c = Utf8::decode(p, end);
            if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete || c == 0) {
                throw Refused{name + " is not valid UTF-8 text"};
            }
        }
        return value.data().substr(1);
    }

    // A key as it may appear in a reason: not too long, no control characters.
    static std::string Printable(std::string_view key) {
        std::string out;
        for (char c : key.substr(0, 40)) {
            out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
        return key.size() > 40 ? out + "..." : out;
    }

private:
    std::string where_;
    std::vector<std::pair<std::string_view, const pt::ptree*>> members_;
};

// The text of a figure, sent as a string or as a JSON number.
std::string_view FigureText(const pt::ptree& value, const std::string& name) {
    const char type = TypeOf(value);
    if (type != kString && type != kNumber) {
        throw Refused{name + " is " + TypeName(type) + ", not a figure"};
    }
    const std::string_view text = TextOf(value);
    if (!text.empty() && text[0] == '-') {
        throw Refused{name + " is negative"};
    }
    return text;
}

std::int64_t WholeFigure(const pt::ptree& value, const std::string& name) {
    const std::string_view text = FigureText(value, name);
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc::result_out_of_range) {
        throw Refused{name + " is too large"};
    }
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        throw Refused{name + " is not a whole decimal number"};
    }
    return number;
}

// Decimal digits, an optional fraction and an optional exponent: the general
// notation the engine writes times in, and the number form of JSON.
bool IsDecimalNumber(std::string_view text) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i > start;
    };
    if (!digits()) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) {
            return false;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (!digits()) {
            return false;
        }
    }
    return i == text.size();
}

double RealFigure(const pt::ptree& value, const std::string& name) {
    const std::string_view text = FigureText(value, name);
    if (!IsDecimalNumber(text)) {
        throw Refused{name + " is not a decimal number"};
    }
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(number)) {
        throw Refused{name + " is not a finite number"};
    }
    return number;
}

const std::set<std::string_view>& CounterNames() {
    static const std::set<std::string_view> names = {
        "numInitializes", "numInitializeCompletes", "numPauses",   "numResumes",
        "numRetries",     "numStarts",              "numRestores", "numCancels",
        "numSuspends",    "numCompletes",           "numRetryableErrors", "numFatalErrors"};
    return names;
}

bool IsErrorCounter(std::string_view name) {
    return name == "numRetryableErrors" || name == "numFatalErrors";
}

// The node figures in the order the engine writes them, with where each goes.
struct NodeFigure {
    std::string_view name;
    std::int64_t NodeFigures::*whole;
    double NodeFigures::*real;
};

const std::array<NodeFigure, 12>& NodeFigureTable() {
    static const std::array<NodeFigure, 12> table = {{
        {"bytes", &NodeFigures::bytes, nullptr},
        {"successBytes", &NodeFigures::successBytes, nullptr},
        {"firstByteTime", nullptr, &NodeFigures::firstByteTime},
        {"requestTime", nullptr, &NodeFigures::requestTime},
        {"successTime", nullptr, &NodeFigures::successTime},
        {"numRequests", &NodeFigures::numRequests, nullptr},
        {"numErrors", &NodeFigures::numErrors, nullptr},
        {"numConnectFailures", &NodeFigures::numConnectFailures, nullptr},
        {"numHttpServerErrors", &NodeFigures::numHttpServerErrors, nullptr},
        {"numConnectionsReset", &NodeFigures::numConnectionsReset, nullptr},
        {"numDataMismatches", &NodeFigures::numDataMismatches, nullptr},
        {"numRequestTimeouts", &NodeFigures::numRequestTimeouts, nullptr},
    }};
    return table;
}

const std::set<std::string_view>& NodeFigureNames() {
    static const std::set<std::string_view> names = [] {
        std::set<std::string_view> out;
        for (const NodeFigure& figure : NodeFigureTable()) {
            out.insert(figure.name);
        }
        return out;
    }();
    return names;
}

const pt::ptree& RequireObject(const pt::ptree& value, const std::string& name) {
    if (TypeOf(value) != kObject) {
        throw Refused{name + " is " + TypeName(TypeOf(value)) + ", not an object"};
    }
    return value;
}

// One element of an events post. `counterAllowed`: only the first element
// may be the counter or error; the rest are nodes.
EventRecord ReadEventElement(const pt::ptree& element, int index, bool counterAllowed, const std::string& where) {
    RequireObject(element, where.empty() ? "the document" : where.substr(0, where.size() - 2));
    const Members members(element, where, {"pid", "pkgid", "vid", "metrics", "dimensions"});
    EventRecord record;
    record.element = index;
    record.pid = members.Text("pid", kMaxIdBytes);
    record.pkgid = members.Text("pkgid", kMaxIdBytes);
    record.vid = members.Text("vid", kMaxIdBytes);
    const pt::ptree& metricsTree = RequireObject(members.Required("metrics"), where + "metrics");
    const pt::ptree& dimensionsTree = RequireObject(members.Required("dimensions"), where + "dimensions");
    const Members dimensions(dimensionsTree, where + "dimensions.", {"cdn", "error"});

    if (dimensions.Find("cdn") != nullptr) {
        const Members metrics(metricsTree, where + "metrics.", NodeFigureNames());
        if (dimensions.Find("error") != nullptr) {
            throw Refused{where + "dimensions has both cdn and error"};
        }
        record.node = dimensions.Text("cdn", kMaxNodeBytes);
        NodeFigures figures;
        for (const NodeFigure& figure : NodeFigureTable()) {
            const std::string name = where + "metrics." + std::string(figure.name);
            const pt::ptree& value = metrics.Required(figure.name);
            if (figure.whole != nullptr) {
                figures.*figure.whole = WholeFigure(value, name);
            } else {
                figures.*figure.real = RealFigure(value, name);
            }
        }
        record.figures = figures;
        return record;
    }

    if (!counterAllowed) {
        throw Refused{where + "dimensions.cdn is missing: only the first element may be a counter"};
    }
    const Members metrics(metricsTree, where + "metrics.", CounterNames());
    if (metrics.Size() != 1) {
        throw Refused{where + "metrics must hold exactly one counter"};
    }
    const auto& [name, value] = metrics.All().front();
    record.metric = std::string(name);
    record.count = WholeFigure(*value, where + "metrics." + std::string(name));
    if (dimensions.Find("error") != nullptr) {
        if (!IsErrorCounter(name)) {
            throw Refused{where + "dimensions.error goes only with an error counter"};
        }
        record.error = dimensions.Text("error", kMaxErrorBytes);
    }
    return record;
}

void ReadEvents(const pt::ptree& root, DocumentReading& reading) {
    if (TypeOf(root) == kObject) {
        EventRecord record = ReadEventElement(root, 0, true, "");
        if (!record.metric) {
            throw Refused{"a single object must be a counter; node figures come in an array"};
        }
        reading.events.push_back(std::move(record));
        return;
    }
    if (TypeOf(root) != kArray) {
        throw Refused{std::string("the document is ") + TypeName(TypeOf(root)) + ", not an object or an array"};
    }
    int index = 0;
    for (const auto& entry : root) {
        const std::string where = "element " + std::to_string(index) + ": ";
        reading.events.push_back(ReadEventElement(entry.second, index, index == 0, where));
        ++index;
    }
}

void ReadTransfer(const pt::ptree& root, DocumentReading& reading) {
    RequireObject(root, "the document");
    const Members members(root, "", {"pid", "pkgid", "vid", "tid", "status", "transferBytes", "duration"});
    TransferRecord record;
    record.pid = members.Text("pid", kMaxIdBytes);
    record.pkgid = members.Text("pkgid", kMaxIdBytes);
    record.vid = members.Text("vid", kMaxIdBytes);
    record.tid = members.Text("tid", kMaxIdBytes);
    record.status = members.Text("status", kMaxIdBytes);
    if (record.status != "active" && record.status != "suspended" && record.status != "completed" &&
        record.status != "canceled") {
        throw Refused{"status is not one of active, suspended, completed, canceled"};
    }
    record.transferBytes = WholeFigure(members.Required("transferBytes"), "transferBytes");
    record.duration = RealFigure(members.Required("duration"), "duration");
    reading.transfers.push_back(std::move(record));
}

}  // namespace

DocumentReading ReadDocument(DocumentKind kind, std::string_view body) {
    DocumentReading reading;
    if (body.size() > kMaxBodyBytes) {
        reading.refusal = DocumentRefusal{413, "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes"};
        return reading;
    }
    TypedCallbacks callbacks;
    try {
        detail::encoding<char> encoding;
        detail::read_json_internal(body.data(), body.data() + body.size(), encoding, callbacks, "body");
    } catch (const TooDeep&) {
        reading.refusal =
            DocumentRefusal{400, "the document nests deeper than " + std::to_string(kMaxNestingDepth) + " levels"};
        return reading;
    } catch (const pt::json_parser_error& error) {
        reading.refusal = DocumentRefusal{
            400, "not JSON: " + error.message() + " at line " + std::to_string(error.line())};
        return reading;
    }
    try {
        if (kind == DocumentKind::Events) {
            ReadEvents(callbacks.output(), reading);
        } else {
            ReadTransfer(callbacks.output(), reading);
        }
    } catch (const Refused& refused) {
        reading.events.clear();
        reading.transfers.clear();
        reading.refusal = DocumentRefusal{400, refused.reason};
    }
    return reading;
}

}  // namespace tvl::analytics
