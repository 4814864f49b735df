// SPDX-License-Identifier: MIT
#include <cstdlib>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>

namespace recwav {

// Placeholder: nearest code by search.
std::uint8_t encodeALawSample(std::int16_t sample) {
    unsigned best = 0;
    int bestError = 1 << 30;
    for (unsigned code = 0; code < 256; ++code) {
        const int error = std::abs(aLawTable[code] - sample);
        if (error < bestError) {
            best = code;
            bestError = error;
        }
    }
    return static_cast<std::uint8_t>(best);
}

void encodeALawSamples(const std::int16_t* samples, std::size_t count, std::uint8_t* codes) {
    for (std::size_t i = 0; i < count; ++i) {
        codes[i] = encodeALawSample(samples[i]);
    }
}

}  // namespace recwav
