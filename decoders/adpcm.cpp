#include <array>
#include <cstddef>
#include <cstdio>

#include "decoders/decoders.hpp"

namespace {

// The IMA ADPCM tables.
constexpr std::array<std::int8_t, 16> indexAdjustments = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                          -1, -1, -1, -1, 2, 4, 6, 8};

constexpr std::array<std::int16_t, 89> stepSizes = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::int32_t maxStepIndex = static_cast<std::int32_t>(stepSizes.size()) - 1;
constexpr long skippedHeaderBytes = 4;

// Reads the next block header into `stream`; false when the input ends first.
bool beginBlock(SoundStream& stream) {
    const CompactCount samples = readCompactCount(stream.file);
    if (!samples.complete || !readCompactCount(stream.file).complete) {
        return false;
    }
    // A skip past the end is noticed by the next read, which then fails.
    if (std::fseek(stream.file, skippedHeaderBytes, SEEK_CUR) != 0) {
        return false;
    }
    stream.blockSamples = samples.value;
    stream.blockPos = 0;
    stream.predictor = 0;
    stream.stepIndex = 0;
    stream.lowNibbleNext = false;
    return true;
}

}  // namespace

std::uint32_t decodeAdpcm(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream) {
    std::uint32_t i = 0;
    bool goesOn = true;
    while (i < wanted && goesOn) {
        if (stream.blockPos == stream.blockSamples && !beginBlock(stream)) {
            break;
        }
        // Held wider than a sample: a difference reaches 61436 before the clamp.
        std::int32_t predictor = stream.predictor;
        std::int32_t index = stream.stepIndex;
        std::int32_t step = stepSizes[static_cast<std::size_t>(index)];
        while (i < wanted && stream.blockPos < stream.blockSamples) {
            std::uint32_t code = 0;
            if (stream.lowNibbleNext) {
                code = stream.pendingByte & 0x0FU;
            } else {
                const int byte = std::fgetc(stream.file);
                if (byte == EOF) {
                    goesOn = false;
                    break;
                }
                stream.pendingByte = static_cast<std::uint8_t>(byte);
                code = stream.pendingByte >> 4;
            }
            stream.lowNibbleNext = !stream.lowNibbleNext;

            index += indexAdjustments[code];
            index = index < 0 ? 0 : index > maxStepIndex ? maxStepIndex : index;

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
            predictor += (code & 0x8U) != 0 ? -difference : difference;
            predictor = predictor < -32768 ? -32768 : predictor > 32767 ? 32767 : predictor;

            // The new index takes effect from the next code on.
            step = stepSizes[static_cast<std::size_t>(index)];
            buffer[i] = static_cast<std::int16_t>(predictor);
            ++stream.blockPos;
            ++i;
        }
        stream.predictor = static_cast<std::int16_t>(predictor);
        stream.stepIndex = static_cast<std::int8_t>(index);
    }
    return i;
}
