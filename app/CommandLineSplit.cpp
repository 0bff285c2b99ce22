#include "app/CommandLineSplit.h"

namespace tvl {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& arguments) {
    std::vector<std::string> result;
    const std::size_t size = arguments.size();
    std::size_t i = 0;
    for (;;) {
        while (i < size && IsBlank(arguments[i])) {
            ++i;
        }
        if (i >= size) {
            break;
        }
        std::string argument;
        bool quoted = false;
        while (i < size && (quoted || !IsBlank(arguments[i]))) {
            const char c = arguments[i];
            if (c == '\\') {
                std::size_t count = 0;
                while (i < size && arguments[i] == '\\') {
                    ++count;
                    ++i;
                }
                if (i < size && arguments[i] == '"') {
                    argument.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        argument += '"';
                        ++i;
                    }
                } else {
                    argument.append(count, '\\');
                }
            } else if (c == '"') {
                quoted = !quoted;
                ++i;
            } else {
                argument += c;
                ++i;
            }
        }
        result.push_back(std::move(argument));
    }
    return result;
}

}  // namespace tvl
