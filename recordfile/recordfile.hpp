// Reading Psion 5 Record files: the sound stream record shared by the reader,
// the decoders and the converter, and the reader that fills it.
#pragma once

#include <cstdint>
#include <cstdio>

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

// Accepts `input` as a Record file this program understands, or refuses it.
// On acceptance fills `stream`, leaves `input` at the first byte of coded sound
// and returns the declared sample count as a signed value; returns -1 on
// refusal (so a declared count of 0xFFFFFFFF is a refusal too).
std::int32_t parseRecordFile(std::FILE* input, SoundStream& stream);

// A variable-length unsigned count of 1, 2 or 4 bytes, as ADPCM block headers
// hold them. `complete` is false when the input ended before all its bytes
// could be read; `value` is then meaningless.
struct CompactCount {
    std::uint32_t value = 0;
    bool complete = false;
};

CompactCount readCompactCount(std::FILE* input);
