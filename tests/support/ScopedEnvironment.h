#pragma once

// Sets or clears environment variables for the lifetime of the object and
// restores the previous values afterwards. Not for tests that run threads
// reading the environment at the same time.

#include <map>
#include <optional>
#include <string>

namespace tvl::test {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void Set(const std::string& name, const std::string& value);
    void Unset(const std::string& name);

private:
    void Remember(const std::string& name);

    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace tvl::test
