#pragma once

// Reads JSON text with property_tree's own parser into a tree whose leaf
// values carry their JSON type: "number:7", "string:Completed",
// "boolean:true", "null:". A plain property tree keeps every value as text,
// which would hide a number written as a string. Throws
// json_parser_error for text that is not JSON.

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <string>

namespace tvl::test {

class TypedJsonCallbacks
    : public boost::property_tree::json_parser::detail::standard_callbacks<boost::property_tree::ptree> {
    using Base = boost::property_tree::json_parser::detail::standard_callbacks<boost::property_tree::ptree>;

  public:
    void on_null() {
        Base::on_null();
        current_value() = "null:";
    }
    void on_boolean(bool value) {
        Base::on_boolean(value);
        current_value().insert(0, "boolean:");
    }
    template <typename Range>
    void on_number(Range units) {
        Base::on_number(units);
        current_value().insert(0, "number:");
    }
    void on_begin_string() {
        Base::on_begin_string();
        if (!is_key()) {
            current_value() = "string:";
        }
    }
};

inline boost::property_tree::ptree ReadTypedJson(const std::string& text) {
    namespace detail = boost::property_tree::json_parser::detail;
    TypedJsonCallbacks callbacks;
    detail::encoding<char> encoding;
    detail::read_json_internal(text.begin(), text.end(), encoding, callbacks, "json");
    return callbacks.output();
}

}  // namespace tvl::test
