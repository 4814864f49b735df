// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cstdlib>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>

namespace recwav {

namespace {

// Placeholder: greedy codes in blocks of maxBlock.
void encodeBlock(const std::int16_t* samples, std::size_t count, std::vector<std::uint8_t>& out,
                 std::vector<std::int16_t>* decoded) {
    appendAdpcmBlockHeader(out, static_cast<std::uint32_t>(count));
    AdpcmState state;
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned best = 0;
        int bestError = 1 << 30;
        for (unsigned code = 0; code < 16; ++code) {
            AdpcmState trial = state;
            const int error = std::abs(decodeAdpcmCode(trial, code) - samples[i]);
            if (error < bestError) {
                best = code;
                bestError = error;
            }
        }
        const std::int16_t sample = decodeAdpcmCode(state, best);
        if (decoded != nullptr) {
            decoded->push_back(sample);
        }
        if (i % 2 == 0) {
            byte = static_cast<std::uint8_t>(best << 4);
        } else {
            out.push_back(static_cast<std::uint8_t>(byte | best));
        }
    }
    if (count % 2 != 0) {
        out.push_back(byte);
    }
}

std::size_t encodeWhile(AdpcmEncoder& encoder, std::size_t keep, std::vector<std::uint8_t>& out,
                        std::vector<std::int16_t>* decoded) {
    const std::size_t block = encoder.settings.maxBlock;
    std::size_t done = 0;
    while (encoder.pending.size() - done > keep && encoder.pending.size() - done > 0) {
        const std::size_t count = std::min(block, encoder.pending.size() - done);
        if (count < block && keep > 0) {
            break;
        }
        encodeBlock(encoder.pending.data() + done, count, out, decoded);
        done += count;
    }
    encoder.pending.erase(encoder.pending.begin(), encoder.pending.begin() + static_cast<std::ptrdiff_t>(done));
    return done;
}

}  // namespace

std::size_t encodeAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    encoder.pending.insert(encoder.pending.end(), samples, samples + count);
    return encodeWhile(encoder, 1, out, decoded);
}

std::size_t finishAdpcm(AdpcmEncoder& encoder, std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded) {
    return encodeWhile(encoder, 0, out, decoded);
}

}  // namespace recwav
