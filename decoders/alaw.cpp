#include <array>
#include <cstddef>
#include <cstdio>

#include "decoders/decoders.hpp"

namespace {

// G.711 A-law expansion with the sign inverted: codes below 0x80 are positive.
constexpr std::int16_t expandALaw(std::uint8_t code) {
    const unsigned a = code ^ 0x55U;
    const unsigned mantissa = a & 0x0FU;
    const unsigned exponent = (a >> 4) & 0x07U;
    const unsigned magnitude = exponent == 0 ? 16 * mantissa + 8 : (16 * mantissa + 264) << (exponent - 1);
    const int value = static_cast<int>(magnitude);
    return static_cast<std::int16_t>((code & 0x80U) != 0 ? -value : value);
}

constexpr std::array<std::int16_t, 256> makeALawTable() {
    std::array<std::int16_t, 256> table{};
    for (unsigned code = 0; code < table.size(); ++code) {
        table[code] = expandALaw(static_cast<std::uint8_t>(code));
    }
    return table;
}

constexpr std::array<std::int16_t, 256> aLawTable = makeALawTable();

}  // namespace

std::uint32_t decodeALaw(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream) {
    // One read fills the upper half of the caller's buffer with codes, which
    // are then expanded in place from the front: sample i overwrites only
    // bytes 2i and 2i+1, which hold codes already taken (or code i itself).
    auto* bytes = reinterpret_cast<unsigned char*>(buffer);
    const unsigned char* codes = bytes + wanted;
    const std::size_t got = std::fread(bytes + wanted, 1, wanted, stream.file);
    for (std::size_t i = 0; i < got; ++i) {
        buffer[i] = aLawTable[codes[i]];
    }
    return static_cast<std::uint32_t>(got);
}
