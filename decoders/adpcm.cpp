#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>

#include "decoders/decoders.hpp"

namespace {

// The IMA ADPCM tables.
constexpr std::array<std::int8_t, 16> indexAdjustments = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr std::array<std::int16_t, 89> stepSizes = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::int32_t maxStepIndex = static_cast<std::int32_t>(stepSizes.size()) - 1;
constexpr int skippedHeaderBytes = 4;

constexpr std::size_t indexCount = stepSizes.size();
constexpr std::size_t codeCount = 16;
constexpr std::size_t byteCount = 256;

// The signed difference that each code adds to the predictor at each step index.
constexpr std::array<std::int32_t, indexCount * codeCount> makeDifferences() {
    std::array<std::int32_t, indexCount * codeCount> table{};
    for (std::size_t index = 0; index < indexCount; ++index) {
        const std::int32_t step = stepSizes[index];
        for (std::uint32_t code = 0; code < codeCount; ++code) {
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
            table[index * codeCount + code] = (code & 0x8U) != 0 ? -difference : difference;
        }
    }
    return table;
}

// The step index that each code leaves for the next code.
constexpr std::array<std::uint8_t, indexCount * codeCount> makeNextIndices() {
    std::array<std::uint8_t, indexCount * codeCount> table{};
    for (std::size_t index = 0; index < indexCount; ++index) {
        for (std::size_t code = 0; code < codeCount; ++code) {
            std::int32_t next = static_cast<std::int32_t>(index) + indexAdjustments[code];
            next = next < 0 ? 0 : next > maxStepIndex ? maxStepIndex : next;
            table[index * codeCount + code] = static_cast<std::uint8_t>(next);
        }
    }
    return table;
}

constexpr auto differences = makeDifferences();
constexpr auto nextIndices = makeNextIndices();

// The step index that a whole byte (two codes) leaves: one lookup instead of
// two dependent ones, which is what bounds the decoder's speed.
constexpr std::array<std::uint8_t, indexCount * byteCount> makeNextIndicesByByte() {
    std::array<std::uint8_t, indexCount * byteCount> table{};
    for (std::size_t index = 0; index < indexCount; ++index) {
        for (std::size_t byte = 0; byte < byteCount; ++byte) {
            const std::size_t middle = nextIndices[index * codeCount + (byte >> 4)];
            table[index * byteCount + byte] = nextIndices[middle * codeCount + (byte & 0x0FU)];
        }
    }
    return table;
}

constexpr auto nextIndicesByByte = makeNextIndicesByByte();

// Held wider than a sample: a difference reaches 61436 before the clamp.
inline std::int16_t addClamped(std::int32_t& predictor, std::int32_t difference) {
    predictor += difference;
    predictor = predictor < -32768 ? -32768 : predictor > 32767 ? 32767 : predictor;
    return static_cast<std::int16_t>(predictor);
}

// The step used for a code is the one the previous code chose; the new index
// counts from the next code on.
inline std::int16_t decodeCode(std::int32_t& predictor, std::uint32_t& index, unsigned code) {
    const std::size_t at = index * codeCount + code;
    index = nextIndices[at];
    return addClamped(predictor, differences[at]);
}

// Both codes of a byte, high nibble first.
inline void decodeByte(std::int32_t& predictor, std::uint32_t& index, unsigned byte, std::int16_t* out) {
    const unsigned high = byte >> 4;
    const std::size_t middle = nextIndices[index * codeCount + high];
    out[0] = addClamped(predictor, differences[index * codeCount + high]);
    out[1] = addClamped(predictor, differences[middle * codeCount + (byte & 0x0FU)]);
    index = nextIndicesByByte[index * byteCount + byte];
}

// Code bytes are read one at a time; the stream is this thread's alone, so
// the per-call lock of fgetc buys nothing.
inline int readByte(std::FILE* file) {
#if defined(_WIN32)
    return _fgetc_nolock(file);
#else
    return getc_unlocked(file);
#endif
}

// Reads the next block header into `stream`; false when the input ends first.
bool beginBlock(SoundStream& stream) {
    const CompactCount samples = readCompactCount(stream.file);
    if (!samples.complete || !readCompactCount(stream.file).complete) {
        return false;
    }
    // Skipped by reading rather than seeking: a relative seek costs a system
    // call in some C libraries. Either way a skip past the end is noticed
    // only by the next read, which then fails.
    for (int skipped = 0; skipped < skippedHeaderBytes; ++skipped) {
        readByte(stream.file);
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
    bool ended = false;
    while (i < wanted && !ended) {
        if (stream.blockPos == stream.blockSamples && !beginBlock(stream)) {
            break;
        }
        // This call's share of the current block.
        const std::uint32_t count = std::min(wanted - i, stream.blockSamples - stream.blockPos);
        std::int16_t* out = buffer + i;
        std::int32_t predictor = stream.predictor;
        std::uint32_t index = static_cast<std::uint8_t>(stream.stepIndex);  // 0 to 88
        std::uint32_t done = 0;
        if (count > 0 && stream.lowNibbleNext) {
            out[done++] = decodeCode(predictor, index, stream.pendingByte & 0x0FU);
            stream.lowNibbleNext = false;
        }
        while (count - done >= 2) {
            const int byte = readByte(stream.file);
            if (byte == EOF) {
                ended = true;
                break;
            }
            decodeByte(predictor, index, static_cast<unsigned>(byte), out + done);
            done += 2;
        }
        if (!ended && done < count) {
            // One code left for this call: the high nibble of a new byte, whose
            // low nibble waits for the next call or is the block's unused one.
            const int byte = readByte(stream.file);
            if (byte == EOF) {
                ended = true;
            } else {
                stream.pendingByte = static_cast<std::uint8_t>(byte);
                stream.lowNibbleNext = true;
                out[done++] = decodeCode(predictor, index, stream.pendingByte >> 4);
            }
        }
        stream.blockPos += done;
        i += done;
        stream.predictor = static_cast<std::int16_t>(predictor);
        stream.stepIndex = static_cast<std::int8_t>(index);
    }
    return i;
}
