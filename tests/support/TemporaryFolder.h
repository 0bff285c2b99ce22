#pragma once

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes away.

#include <string>

namespace tvl::test {

class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string Join(const std::string& relative) const;

private:
    std::string path_;
};

}  // namespace tvl::test
