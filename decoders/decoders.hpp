// The sample decoders that the Record file reader installs in a SoundStream.
#pragma once

#include <cstdint>

#include "recordfile/recordfile.hpp"

// 8-bit A-law, one byte per sample, read until the end of the input.
std::uint32_t decodeALaw(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream);

// 4-bit IMA ADPCM in blocks, each with a header of its own, read until the end
// of the input. Keeps its place in the current block in `stream` between calls.
std::uint32_t decodeAdpcm(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream);
