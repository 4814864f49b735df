// SPDX-License-Identifier: MIT
// Compact counts both ways: read from a file by the ADPCM decoder, appended to
// memory by the writer of block headers.
#include <cstdio>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>

namespace recwav {

namespace {

// Reads `count` more bytes into `bytes`; false when the input ends first.
bool readBytes(std::FILE* input, std::uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        const int byte = std::fgetc(input);
        if (byte == EOF) {
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(byte);
    }
    return true;
}

}  // namespace

CompactCount readCompactCount(std::FILE* input) {
    std::uint8_t bytes[4] = {};
    if (!readBytes(input, bytes, 1)) {
        return {};
    }
    if ((bytes[0] & 0x01U) == 0) {
        return {std::uint32_t{bytes[0]} >> 1U, true};
    }
    if (!readBytes(input, bytes + 1, 1)) {
        return {};
    }
    if ((bytes[0] & 0x02U) == 0) {
        return {std::uint32_t{loadLe16(bytes)} >> 2U, true};
    }
    // This form keeps its tag bits: the two bytes are the value as they stand.
    if ((bytes[0] & 0x04U) != 0) {
        return {loadLe16(bytes), true};
    }
    if (!readBytes(input, bytes + 2, 2)) {
        return {};
    }
    return {loadLe32(bytes) >> 3U, true};
}

Status appendCompactCount(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    if (value <= maxCompactCount1) {
        bytes.push_back(static_cast<std::uint8_t>(value << 1));
    } else if (value <= maxCompactCount2) {
        appendLe16(bytes, static_cast<std::uint16_t>(value << 2 | 0x1U));
    } else if (value <= maxCompactCount) {
        appendLe32(bytes, value << 3 | 0x3U);
    } else {
        return Status::badSetting;  // a compact count holds at most 29 bits
    }
    return Status::ok;
}

}  // namespace recwav
