#pragma once

// Starts one program file. Used on one thread at a time.

#include <string>

namespace tvl {

class SimpleProcess {
  public:
    virtual ~SimpleProcess() = default;

    // Starts the file with the arguments given as one string, in the working
    // directory (the file's own folder when empty), and with wait set blocks
    // until the program has ended. True when the program was started (and,
    // with wait, when the wait succeeded), whatever its exit status.
    virtual bool Run(bool wait, bool elevate, const std::string& arguments,
                     const std::string& workingDirectory) = 0;

    const std::string& Path() const { return path_; }

    SimpleProcess(const SimpleProcess&) = delete;
    SimpleProcess& operator=(const SimpleProcess&) = delete;

  protected:
    explicit SimpleProcess(std::string path) : path_(std::move(path)) {}

  private:
    std::string path_;
};

}  // namespace tvl
