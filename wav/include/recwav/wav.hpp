// SPDX-License-Identifier: MIT
// WAVE output: the 44-byte header of the one format (mono, 16-bit, 8000
// samples per second) and the conversion of one sound into it, which recwav,
// recscan and the page share.
#pragma once

#include <cstdint>
#include <cstdio>

#include <recwav/recordfile.hpp>
#include <recwav/status.hpp>

namespace recwav {

// Samples asked of the decoder per call; the sample buffer holds this many.
inline constexpr std::uint32_t samplesPerCall = 4000;

// The one output format.
inline constexpr std::uint32_t wavSampleRate = recordSampleRate;
inline constexpr std::uint16_t wavChannels = 1;
inline constexpr std::uint16_t wavBytesPerSample = 2;
inline constexpr std::uint32_t wavHeaderSize = 44;

// Writes the 44-byte RIFF/WAVE header (mono, 16-bit, 8000 samples per second)
// sized from the stream's declared sample count: ok or writeFailed.
Status writeWavHeader(std::FILE* output, const SoundStream& stream);

// No limit: the sound runs to the end of the input, however long.
inline constexpr std::uint32_t allBatches = 0;

// Calls stream.decode for samplesPerCall samples at a time and appends them to
// `output` as 16-bit little-endian values, until a call returns fewer, or
// until `maxBatches` full batches are written. Going on from a pause writes
// the same bytes as one call would have. `buffer` holds samplesPerCall samples.
// Returns ok once the input ended cleanly and every sample was written,
// paused after `maxBatches` full batches, readFailed or writeFailed.
Status convertSound(SoundStream& stream, std::int16_t* buffer, std::FILE* output,
                    std::uint32_t maxBatches = allBatches);

}  // namespace recwav
