#include <array>
#include <cstdio>

#include "decoders/decoders.hpp"

namespace {

// G.711 A-law expansion with the sign inverted: codes below 0x80 are positive.
constexpr std::int16_t expandALaw(std::uint8_t code) {
    const unsigned a = code ^ 0x55U;
    const unsigned mantissa = a & 0x0FU;
    const unsigned exponent = (a >> 4) & 0x07U;
    const unsigned magnitude =
        exponent == 0 ? 16 * mantissa + 8 : (16 * mantissa + 264) << (exponent - 1);
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
    std::uint32_t i = 0;
    while (i < wanted) {
        const int byte = std::fgetc(stream.file);
        if (byte == EOF) {
            break;
        }
        buffer[i] = aLawTable[static_cast<std::uint8_t>(byte)];
        ++i;
    }
    return i;
}
