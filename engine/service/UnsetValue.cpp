#include "engine/service/UnsetValue.h"

namespace tvl {

const std::string& Unspecified() {
    static const std::string marker = "?";
    return marker;
}

}  // namespace tvl
