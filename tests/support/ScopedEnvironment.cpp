#include "tests/support/ScopedEnvironment.h"

#include <stdlib.h>

namespace tvl::test {

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

void ScopedEnvironment::Remember(const std::string& name) {
    if (saved_.count(name) == 0) {
        const char* current = getenv(name.c_str());
        saved_[name] = current ? std::optional<std::string>(current) : std::nullopt;
    }
}

void ScopedEnvironment::Set(const std::string& name, const std::string& value) {
    Remember(name);
    setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnvironment::Unset(const std::string& name) {
    Remember(name);
    unsetenv(name.c_str());
}

}  // namespace tvl::test
