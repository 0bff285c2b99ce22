#pragma once

// One JSON object of talvane-get's output, built key by key and written as one
// line: numbers as JSON numbers, strings as UTF-8 with only what JSON requires
// escaped (bytes that are not UTF-8, which a path may hold, become U+FFFD).
// The engine's JSON text writes every value as a string and escapes each byte
// from 0x80 up on its own, which its readers expect but which would turn the
// characters of a path into others for a script. Not thread-safe.

#include <cstdint>
#include <string>

namespace tvl::get {

class JsonRecord {
  public:
    JsonRecord& String(const std::string& key, const std::string& value);
    JsonRecord& Unsigned(const std::string& key, std::uint64_t value);
    JsonRecord& Integer(const std::string& key, std::int64_t value);
    // Fixed-point with `decimals` digits after the point.
    JsonRecord& Decimal(const std::string& key, double value, int decimals);
    JsonRecord& Boolean(const std::string& key, bool value);
    JsonRecord& Null(const std::string& key);

    // The object, without a line feed.
    std::string Text() const;

  private:
    void Key(const std::string& key);

    std::string members_;
};

}  // namespace tvl::get
