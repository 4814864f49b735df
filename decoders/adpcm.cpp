// SPDX-License-Identifier: MIT
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>

#include <recwav/decoders.hpp>

namespace recwav {

namespace {

constexpr int skippedHeaderBytes = 4;
constexpr std::size_t codeCount = 16;
constexpr std::size_t byteCount = 256;
constexpr std::size_t indexCount = adpcmStepSizes.size();

// The step index that a whole byte (two codes) leaves: one lookup instead of
// two dependent ones, which is what bounds the decoder's speed.
constexpr std::array<std::uint8_t, indexCount * byteCount> makeNextIndicesByByte() {
    std::array<std::uint8_t, indexCount * byteCount> table{};
    for (std::size_t index = 0; index < indexCount; ++index) {
        for (std::size_t byte = 0; byte < byteCount; ++byte) {
            const std::size_t middle = adpcmNextIndices[index * codeCount + (byte >> 4)];
            table[index * byteCount + byte] = adpcmNextIndices[middle * codeCount + (byte & 0x0FU)];
        }
    }
    return table;
}

constexpr auto nextIndicesByByte = makeNextIndicesByByte();

inline std::int16_t addClamped(std::int32_t& predictor, std::int32_t difference) {
    predictor = clampSample(predictor + difference);
    return static_cast<std::int16_t>(predictor);
}

// Both codes of a byte, high nibble first: the same as two decodeAdpcmCode
// calls, with the step index taken in one lookup.
inline void decodeByte(AdpcmState& state, unsigned byte, std::int16_t* out) {
    const unsigned high = byte >> 4;
    const std::size_t middle = adpcmNextIndices[state.stepIndex * codeCount + high];
    out[0] = addClamped(state.predictor, adpcmDifferences[state.stepIndex * codeCount + high]);
    out[1] = addClamped(state.predictor, adpcmDifferences[middle * codeCount + (byte & 0x0FU)]);
    state.stepIndex = nextIndicesByByte[state.stepIndex * byteCount + byte];
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

void decodeAdpcmCodes(const std::uint8_t* bytes, std::size_t count, AdpcmState& state, std::int16_t* samples) {
    std::size_t done = 0;
    for (; count - done >= 2; done += 2) {
        decodeByte(state, bytes[done / 2], samples + done);
    }
    if (done < count) {
        samples[done] = decodeAdpcmCode(state, bytes[done / 2] >> 4);
    }
}

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
        AdpcmState state{stream.predictor, static_cast<std::uint8_t>(stream.stepIndex)};
        std::uint32_t done = 0;
        if (count > 0 && stream.lowNibbleNext) {
            out[done++] = decodeAdpcmCode(state, stream.pendingByte & 0x0FU);
            stream.lowNibbleNext = false;
        }
        while (count - done >= 2) {
            const int byte = readByte(stream.file);
            if (byte == EOF) {
                ended = true;
                break;
            }
            decodeByte(state, static_cast<unsigned>(byte), out + done);
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
                out[done++] = decodeAdpcmCode(state, stream.pendingByte >> 4);
            }
        }
        stream.blockPos += done;
        i += done;
        stream.predictor = static_cast<std::int16_t>(state.predictor);
        stream.stepIndex = static_cast<std::int8_t>(state.stepIndex);
    }
    return i;
}

}  // namespace recwav
