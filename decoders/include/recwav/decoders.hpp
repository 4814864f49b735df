// SPDX-License-Identifier: MIT
// The sample decoders: kernels over memory (codes in, samples out, state passed
// explicitly); the sound stream record that the Record file reader fills and
// the decode operations it installs there, which read the codes from its file;
// and the compact counts of ADPCM block headers, both ways.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <recwav/status.hpp>

namespace recwav {

// ---- The sound stream ----

struct SoundStream;

// Decodes up to `wanted` samples into `buffer` and returns how many it wrote,
// never more than asked; fewer than asked means the input is exhausted.
using DecodeFn = std::uint32_t (*)(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream);

struct SoundStream {
    std::uint32_t blockSamples = 0;  // ADPCM: samples in the current block
    std::uint32_t blockPos = 0;      // ADPCM: samples of the current block already decoded
    std::uint32_t sampleCount = 0;   // declared in the sound header
    std::uint32_t hdrLong = 0;       // kept as read, never interpreted
    DecodeFn decode = nullptr;
    std::FILE* file = nullptr;   // borrowed: the caller opened it and closes it
    std::int16_t predictor = 0;  // ADPCM: current predicted sample
    std::uint16_t hdrShort = 0;  // kept as read, never interpreted
    std::uint8_t hdrByte = 0;    // kept as read, never interpreted
    std::int8_t stepIndex = 0;   // ADPCM: index into the step table, 0 to 88
    // ADPCM: the next code is the low nibble of `pendingByte`. Kept across
    // calls so that a call ending inside a byte does not shift the block.
    bool lowNibbleNext = false;
    std::uint8_t pendingByte = 0;
};

// A variable-length unsigned count of 1, 2 or 4 bytes, as ADPCM block headers
// hold them. `complete` is false when the input ended before all its bytes
// could be read; `value` is then meaningless.
struct CompactCount {
    std::uint32_t value = 0;
    bool complete = false;
};

CompactCount readCompactCount(std::FILE* input);

// The largest values of the one-, two- and four-byte forms.
inline constexpr std::uint32_t maxCompactCount1 = (1U << 7) - 1;
inline constexpr std::uint32_t maxCompactCount2 = (1U << 14) - 1;
inline constexpr std::uint32_t maxCompactCount = (1U << 29) - 1;

// Appends `value` in its shortest form: ok, or badSetting (appending nothing)
// above maxCompactCount.
Status appendCompactCount(std::vector<std::uint8_t>& bytes, std::uint32_t value);

// ---- A-law: one byte per sample ----

// G.711 A-law expansion with the sign inverted: codes below 0x80 are positive.
constexpr std::int16_t expandALawCode(std::uint8_t code) {
    const unsigned a = code ^ 0x55U;
    const unsigned mantissa = a & 0x0FU;
    const unsigned exponent = (a >> 4) & 0x07U;
    const unsigned magnitude = exponent == 0 ? 16 * mantissa + 8 : (16 * mantissa + 264) << (exponent - 1);
    const int value = static_cast<int>(magnitude);
    return static_cast<std::int16_t>((code & 0x80U) != 0 ? -value : value);
}

namespace detail {
constexpr std::array<std::int16_t, 256> makeALawTable() {
    std::array<std::int16_t, 256> table{};
    for (unsigned code = 0; code < table.size(); ++code) {
        table[code] = expandALawCode(static_cast<std::uint8_t>(code));
    }
    return table;
}
}  // namespace detail

// The sample of every A-law code.
inline constexpr std::array<std::int16_t, 256> aLawTable = detail::makeALawTable();

// Expands `count` codes into `samples`. The two may share memory as long as
// code i sits at or after byte i of the samples (a decoder expands in place).
inline void decodeALawCodes(const std::uint8_t* codes, std::size_t count, std::int16_t* samples) {
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = aLawTable[codes[i]];
    }
}

// ---- IMA ADPCM: 4-bit codes, two per byte, high nibble first ----

inline constexpr std::array<std::int8_t, 16> adpcmIndexAdjustments = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                                      -1, -1, -1, -1, 2, 4, 6, 8};

inline constexpr std::array<std::int16_t, 89> adpcmStepSizes = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

inline constexpr std::uint32_t adpcmMaxStepIndex = adpcmStepSizes.size() - 1;

// A predictor held wider than a sample, brought back into a sample's range.
constexpr std::int32_t clampSample(std::int32_t value) {
    return value < -32768 ? -32768 : value > 32767 ? 32767 : value;
}

// What the decoder carries from code to code; every block starts from {0, 0}.
struct AdpcmState {
    std::int32_t predictor = 0;   // -32768 to 32767
    std::uint32_t stepIndex = 0;  // 0 to 88
};

namespace detail {
inline constexpr std::size_t adpcmCodes = 16;

// The signed difference that each code adds to the predictor at each step index.
constexpr std::array<std::int32_t, adpcmStepSizes.size() * adpcmCodes> makeAdpcmDifferences() {
    std::array<std::int32_t, adpcmStepSizes.size() * adpcmCodes> table{};
    for (std::size_t index = 0; index < adpcmStepSizes.size(); ++index) {
        const std::int32_t step = adpcmStepSizes[index];
        for (std::uint32_t code = 0; code < adpcmCodes; ++code) {
            // Each part is rounded down on its own.
            std::int32_t difference = step >> 3;
            if ((code & 0x4U) != 0) {
                difference += step;
            }
            if ((code & 0x2U) != 0) {
                difference += step >> 1;
            }
            if ((code & 0x1U) != 0) {
                difference += step >> 2;
            }
            table[index * adpcmCodes + code] = (code & 0x8U) != 0 ? -difference : difference;
        }
    }
    return table;
}

// The step index that each code leaves for the next code.
constexpr std::array<std::uint8_t, adpcmStepSizes.size() * adpcmCodes> makeAdpcmNextIndices() {
    std::array<std::uint8_t, adpcmStepSizes.size() * adpcmCodes> table{};
    for (std::size_t index = 0; index < adpcmStepSizes.size(); ++index) {
        for (std::size_t code = 0; code < adpcmCodes; ++code) {
            constexpr auto highest = static_cast<std::int32_t>(adpcmMaxStepIndex);
            std::int32_t next = static_cast<std::int32_t>(index) + adpcmIndexAdjustments[code];
            next = next < 0 ? 0 : next > highest ? highest : next;
            table[index * adpcmCodes + code] = static_cast<std::uint8_t>(next);
        }
    }
    return table;
}
}  // namespace detail

// Indexed by stepIndex * 16 + code.
inline constexpr auto adpcmDifferences = detail::makeAdpcmDifferences();
inline constexpr auto adpcmNextIndices = detail::makeAdpcmNextIndices();

// Decodes one 4-bit code. The step used for a code is the one the previous
// code chose; the new index counts from the next code on. The predictor is
// held wider than a sample: a difference reaches 61436 before the clamp.
constexpr std::int16_t decodeAdpcmCode(AdpcmState& state, unsigned code) {
    const std::size_t at = state.stepIndex * detail::adpcmCodes + code;
    state.predictor = clampSample(state.predictor + adpcmDifferences[at]);
    state.stepIndex = adpcmNextIndices[at];
    return static_cast<std::int16_t>(state.predictor);
}

// Decodes `count` codes packed two to a byte, high nibble first, starting at
// the high nibble of bytes[0]; reads (count + 1) / 2 bytes.
void decodeAdpcmCodes(const std::uint8_t* bytes, std::size_t count, AdpcmState& state, std::int16_t* samples);

// ---- The decode operations over a SoundStream's file ----

// 8-bit A-law, one byte per sample, read until the end of the input.
std::uint32_t decodeALaw(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream);

// 4-bit IMA ADPCM in blocks, each with a header of its own, read until the end
// of the input. Keeps its place in the current block in `stream` between calls.
std::uint32_t decodeAdpcm(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream);

}  // namespace recwav
