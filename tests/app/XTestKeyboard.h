#pragma once

// Plays a user's key presses on an X display through the X test extension, so
// that a test can answer a window of another process. Kept apart because the
// X headers define macros (None, Status, ...) that clash with other headers.
// One thread.

#include <memory>
#include <string>

namespace tvl::test {

class XTestKeyboard {
  public:
    // Null when $DISPLAY cannot be opened or lacks the extension; `why` then says which.
    static std::unique_ptr<XTestKeyboard> Open(std::string* why);
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    // Whether a viewable top-level window is named `title`.
    bool HasWindow(const std::string& title);
    // Gives that window the input focus and presses Enter; false when there is no such window.
    bool PressEnterIn(const std::string& title);

  private:
    explicit XTestKeyboard(void* display) : display_(display) {}
    void* display_;
};

}  // namespace tvl::test
