// SPDX-License-Identifier: MIT
#include <cstdio>

#include <recwav/recordfile.hpp>

namespace recwav {

CompactCount readCompactCount(std::FILE* input) {
    CompactCount count;
    const int b0 = std::fgetc(input);
    if (b0 == EOF) {
        return count;
    }
    if ((b0 & 0x01) == 0) {
        return {static_cast<std::uint32_t>(b0) >> 1, true};
    }
    const int b1 = std::fgetc(input);
    if (b1 == EOF) {
        return count;
    }
    const std::uint32_t word = static_cast<std::uint32_t>(b0) | static_cast<std::uint32_t>(b1) << 8;
    if ((b0 & 0x02) == 0) {
        return {word >> 2, true};
    }
    // This form keeps its tag bits: the two bytes are the value as they stand.
    if ((b0 & 0x04) != 0) {
        return {word, true};
    }
    const int b2 = std::fgetc(input);
    const int b3 = std::fgetc(input);
    if (b2 == EOF || b3 == EOF) {
        return count;
    }
    return {(word | static_cast<std::uint32_t>(b2) << 16 | static_cast<std::uint32_t>(b3) << 24) >> 3, true};
}

}  // namespace recwav
