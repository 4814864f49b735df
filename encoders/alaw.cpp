// SPDX-License-Identifier: MIT
#include <array>
#include <cstddef>
#include <cstdint>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>

namespace recwav {

namespace {

constexpr std::size_t magnitudeCount = 128;
constexpr std::size_t sampleCount = 65536;

// The code of each magnitude, smallest first: a code's magnitude grows with
// its seven low bits once the decoder's XOR with 0x55 is undone.
constexpr std::uint8_t positiveCode(std::size_t rank) {
    return static_cast<std::uint8_t>(rank ^ 0x55U);
}

// The nearest code of every sample, indexed by the sample's 16 bits. The
// segments' ends are not the midpoints between codes (512 lies nearer 504
// than 528), so the table is found by walking the decoded values rather than
// by G.711's truncating segment arithmetic. A sample halfway between two
// codes takes the one of smaller magnitude, and 0 takes the positive code.
constexpr std::array<std::uint8_t, sampleCount> makeEncodeTable() {
    std::array<std::int32_t, magnitudeCount> magnitudes{};
    for (std::size_t rank = 0; rank < magnitudeCount; ++rank) {
        magnitudes[rank] = aLawTable[positiveCode(rank)];
    }
    std::array<std::uint8_t, sampleCount> table{};
    std::size_t rank = 0;
    for (std::int32_t magnitude = 0; magnitude <= 32768; ++magnitude) {
        while (rank + 1 < magnitudeCount && magnitudes[rank + 1] - magnitude < magnitude - magnitudes[rank]) {
            ++rank;
        }
        const std::uint8_t code = positiveCode(rank);
        if (magnitude <= 32767) {
            table[static_cast<std::uint16_t>(magnitude)] = code;
        }
        if (magnitude > 0) {
            table[static_cast<std::uint16_t>(-magnitude)] = static_cast<std::uint8_t>(code | 0x80U);
        }
    }
    return table;
}

constexpr auto encodeTable = makeEncodeTable();

}  // namespace

std::uint8_t encodeALawSample(std::int16_t sample) {
    return encodeTable[static_cast<std::uint16_t>(sample)];
}

void encodeALawSamples(const std::int16_t* samples, std::size_t count, std::uint8_t* codes) {
    for (std::size_t i = 0; i < count; ++i) {
        codes[i] = encodeTable[static_cast<std::uint16_t>(samples[i])];
    }
}

}  // namespace recwav
