// SPDX-License-Identifier: MIT
// The sample encoders: samples in, codes out, over memory. Each is the inverse
// of the decoder of the same coding, and is checked against that decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace recwav {

// ---- A-law ----

// The code whose decoded value is nearest to `sample`.
std::uint8_t encodeALawSample(std::int16_t sample);

void encodeALawSamples(const std::int16_t* samples, std::size_t count, std::uint8_t* codes);

// ---- IMA ADPCM in blocks ----

struct AdpcmSettings {
    std::uint32_t maxBlock = 800;  // samples in a block, at most
    bool fixedBlocks = false;      // every block maxBlock samples long, but the last
};

// Codes a stream of samples into ADPCM blocks a window at a time, so that
// memory stays bounded whatever the length of the sound.
struct AdpcmEncoder {
    AdpcmSettings settings;
    std::vector<std::int16_t> pending;  // samples given but not yet in a block
};

// Takes `count` more samples and appends to `out` every block it can now
// decide, each with its block header, as a Record file holds them; appends to
// `decoded`, when given, the samples those blocks decode to. Returns the number
// of samples in the blocks appended.
std::size_t encodeAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded = nullptr);

// Codes every sample still pending, as above.
std::size_t finishAdpcm(AdpcmEncoder& encoder, std::vector<std::uint8_t>& out,
                        std::vector<std::int16_t>* decoded = nullptr);

}  // namespace recwav
