// The recwav command: its entry, the conversion loop and the WAVE output.
#pragma once

#include <cstdint>
#include <cstdio>

#include "recordfile/recordfile.hpp"

// Samples asked of the decoder per call; the sample buffer holds this many.
constexpr std::uint32_t samplesPerCall = 4000;

// Writes the 44-byte RIFF/WAVE header (mono, 16-bit, 8000 samples per second)
// sized from the stream's declared sample count.
void writeWavHeader(std::FILE* output, const SoundStream& stream);

// Calls stream.decode for samplesPerCall samples at a time and appends them to
// `output` as 16-bit little-endian values, until a call returns fewer.
// `buffer` holds samplesPerCall samples. Returns false when a write failed.
bool convertSound(SoundStream& stream, std::int16_t* buffer, std::FILE* output);

// The whole command, from the argument vector to the exit status (0 or -1).
int runRecwav(int argc, char* argv[]);
