// SPDX-License-Identifier: MIT
// The one home of byte order: every integer of a Record file and of a WAVE
// file is little-endian, whatever the host's own order; a Series 3 sound's
// header fields are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace recwav {

constexpr std::uint16_t loadLe16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

constexpr std::uint32_t loadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

constexpr void storeLe16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void storeLe32(std::uint8_t* bytes, std::uint32_t value) {
    storeLe16(bytes, static_cast<std::uint16_t>(value));
    storeLe16(bytes + 2, static_cast<std::uint16_t>(value >> 16));
}

constexpr std::uint16_t loadBe16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

constexpr std::uint32_t loadBe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(loadBe16(bytes)) << 16 | loadBe16(bytes + 2);
}

constexpr void storeBe16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value);
}

constexpr void storeBe32(std::uint8_t* bytes, std::uint32_t value) {
    storeBe16(bytes, static_cast<std::uint16_t>(value >> 16));
    storeBe16(bytes + 2, static_cast<std::uint16_t>(value));
}

inline void appendLe16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 2);
    storeLe16(bytes.data() + at, value);
}

inline void appendLe32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 4);
    storeLe32(bytes.data() + at, value);
}

// 16-bit samples as little-endian bytes, in place: sample i becomes bytes 2i
// and 2i+1 of the same memory.
// Going through a copy lets the compiler see that on a little-endian host
// this changes nothing, and drop the loop.
inline void samplesToLe16(std::int16_t* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t bytes[2];
        storeLe16(bytes, static_cast<std::uint16_t>(samples[i]));
        std::memcpy(samples + i, bytes, sizeof bytes);
    }
}

}  // namespace recwav
