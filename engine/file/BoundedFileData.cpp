#include "engine/file/BoundedFileData.h"

#include "engine/file/FileExceptions.h"

namespace tvl {

void BoundedFileData::CheckBounds(std::uint64_t first, std::uint64_t last) const {
    if (first < lowerBound_ || first > last || last > upperBound_) {
        throw FileOutOfBoundsException();
    }
}

void BoundedFileData::CheckRange(std::uint64_t first, std::uint64_t size) const {
    if (size == 0 || size - 1 > UINT64_MAX - first) {
        throw FileOutOfBoundsException();
    }
    CheckBounds(first, first + (size - 1));
}

}  // namespace tvl
