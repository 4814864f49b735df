// SPDX-License-Identifier: MIT
// The writing side of the container, kept apart from the reader so that a
// program that only reads links none of it.
#include <stdexcept>

#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

namespace recwav {

void appendCompactCount(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    if (value <= maxCompactCount1) {
        bytes.push_back(static_cast<std::uint8_t>(value << 1));
    } else if (value <= maxCompactCount2) {
        appendLe16(bytes, static_cast<std::uint16_t>(value << 2 | 0x1U));
    } else if (value <= maxCompactCount) {
        appendLe32(bytes, value << 3 | 0x3U);
    } else {
        throw std::invalid_argument("a compact count holds at most 29 bits");
    }
}

void appendAdpcmBlockHeader(std::vector<std::uint8_t>& bytes, std::uint32_t samples) {
    appendCompactCount(bytes, samples);
    appendCompactCount(bytes, samples);
    bytes.insert(bytes.end(), 4, 0);
}

}  // namespace recwav
