// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;

using Samples = std::vector<std::int16_t>;
using Bytes = std::vector<std::uint8_t>;

namespace {

// ---- A-law ----

TEST(ALawEncoder, EverySampleTakesTheNearestCodeAndEveryCodeReencodesToItself) {
    for (unsigned code = 0; code < 256; ++code) {
        EXPECT_EQ(encodeALawSample(aLawTable[code]), code);
    }
    Samples all;
    for (int value = -32768; value <= 32767; ++value) {
        all.push_back(static_cast<std::int16_t>(value));
    }
    std::vector<std::uint8_t> codes(all.size());
    encodeALawSamples(all.data(), all.size(), codes.data());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const int sample = all[i];
        const std::uint8_t chosen = codes[i];
        ASSERT_EQ(chosen, encodeALawSample(all[i]));
        const int error = std::abs(aLawTable[chosen] - sample);
        for (unsigned code = 0; code < 256; ++code) {
            const int other = std::abs(aLawTable[code] - sample);
            ASSERT_LE(error, other) << sample;
            if (other == error && code != chosen) {
                // A tie goes to the smaller magnitude, and at 0 to the positive code.
                ASSERT_TRUE(std::abs(aLawTable[chosen]) < std::abs(aLawTable[code]) ||
                            (sample == 0 && aLawTable[chosen] > 0))
                    << sample;
            }
        }
    }
}

// ---- ADPCM ----

struct Encoded {
    Bytes bytes;
    Samples decoded;
    std::size_t reported = 0;  // the sum of what the calls returned
};

// Encodes in chunks of random sizes up to `largest` (all at once when 0).
Encoded encodeInChunks(const Samples& samples, const AdpcmSettings& settings, std::size_t largest, std::uint32_t seed) {
    std::mt19937 random(seed);
    AdpcmEncoder encoder;
    encoder.settings = settings;
    Encoded result;
    for (std::size_t at = 0; at < samples.size();) {
        const std::size_t count =
            std::min(samples.size() - at,
                     largest == 0 ? samples.size() : std::uniform_int_distribution<std::size_t>(1, largest)(random));
        result.reported += encodeAdpcm(encoder, samples.data() + at, count, result.bytes, &result.decoded);
        at += count;
        EXPECT_LT(encoder.pending.size(), std::size_t{settings.maxBlock} + adpcmLookahead + 1);
    }
    result.reported += finishAdpcm(encoder, result.bytes, &result.decoded);
    EXPECT_TRUE(encoder.pending.empty());
    return result;
}

// The sample count of every block, read with the Record file reader's counts.
std::vector<std::uint32_t> blockLengths(const Bytes& bytes) {
    const FilePtr file = openBytes(bytes);
    std::vector<std::uint32_t> lengths;
    for (CompactCount count; (count = readCompactCount(file.get())).complete;) {
        EXPECT_EQ(readCompactCount(file.get()).value, count.value);
        lengths.push_back(count.value);
        std::fseek(file.get(), 4 + (count.value + 1) / 2, SEEK_CUR);
    }
    return lengths;
}

// What recwav's decoder makes of the bytes, asked for 4000 samples at a time.
Samples decodeWithRecwav(const Bytes& bytes) {
    const FilePtr file = openBytes(bytes);
    SoundStream stream;
    stream.file = file.get();
    Samples samples(4000);
    std::size_t total = 0;
    for (std::uint32_t got = 4000; got == 4000; total += got) {
        samples.resize(total + 4000);
        got = decodeAdpcm(4000, samples.data() + total, stream);
    }
    samples.resize(total);
    return samples;
}

// Sounds that reach every corner: speech-like bursts and pauses, a loud sine,
// full-scale square waves that clamp the predictor, noise and silence.
Samples makeSound(const std::string& kind, std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 1);
    Samples samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / 8000;
        double value = 0;
        if (kind == "bursts") {
            const double envelope = std::max(0.0, std::sin(2 * std::numbers::pi * 1.7 * t));
            value = envelope * envelope *
                    (9000 * std::sin(2 * std::numbers::pi * 310 * t) +
                     4000 * std::sin(2 * std::numbers::pi * 1270 * t) + 500 * noise(random));
        } else if (kind == "sine") {
            value = 16000 * std::sin(2 * std::numbers::pi * 440 * t);
        } else if (kind == "square") {
            value = (i / 9) % 2 == 0 ? 32767 : -32768;
        } else if (kind == "noise") {
            value = 8000 * noise(random);
        }
        samples[i] = static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
    }
    return samples;
}

double snr(const Samples& original, const Samples& decoded) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        signal += static_cast<double>(original[i]) * original[i];
        noise += std::pow(static_cast<double>(original[i]) - decoded[i], 2);
    }
    return 10 * std::log10(signal / noise);
}

TEST(AdpcmEncoder, BytesDecodeToWhatItReportsWhateverTheChunkingAndSettings) {
    struct Case {
        std::uint32_t maxBlock;
        std::size_t length;
    };
    // Every edge of a block: one sample, odd and even, exactly the maximum,
    // just past it and past its lookahead, and the compact counts' forms.
    const Case cases[] = {{1, 0},     {1, 1},     {1, 37},    {2, 5},      {3, 64},       {7, 7},     {8, 25},
                          {127, 127}, {127, 128}, {128, 143}, {128, 144},  {800, 1},      {800, 799}, {800, 800},
                          {800, 801}, {800, 816}, {800, 817}, {800, 5003}, {16384, 17000}};
    std::uint32_t seed = 1;
    for (const char* kind : {"bursts", "sine", "square", "noise", "silence"}) {
        for (const Case& c : cases) {
            const Samples samples = makeSound(kind, c.length, seed);
            for (const bool fixed : {false, true}) {
                for (const bool greedy : {false, true}) {
                    const AdpcmSettings settings{c.maxBlock, fixed, greedy};
                    const std::string what = std::string(kind) + " maxBlock " + std::to_string(c.maxBlock) +
                                             " length " + std::to_string(c.length) + (fixed ? " fixed" : "") +
                                             (greedy ? " greedy" : "");
                    const Encoded whole = encodeInChunks(samples, settings, 0, seed);
                    ASSERT_EQ(whole.decoded.size(), samples.size()) << what;
                    EXPECT_EQ(whole.reported, samples.size()) << what;
                    EXPECT_EQ(decodeWithRecwav(whole.bytes), whole.decoded) << what;
                    const std::vector<std::uint32_t> lengths = blockLengths(whole.bytes);
                    std::size_t total = 0;
                    for (std::size_t b = 0; b < lengths.size(); ++b) {
                        EXPECT_GE(lengths[b], 1U) << what;
                        EXPECT_LE(lengths[b], c.maxBlock) << what;
                        if (fixed && b + 1 < lengths.size()) {
                            EXPECT_EQ(lengths[b], c.maxBlock) << what;
                        }
                        total += lengths[b];
                    }
                    EXPECT_EQ(total, samples.size()) << what;
                    for (const std::size_t largest : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
                        const Encoded chunked = encodeInChunks(samples, settings, largest, ++seed);
                        EXPECT_EQ(chunked.bytes, whole.bytes) << what << " in chunks of up to " << largest;
                        EXPECT_EQ(chunked.decoded, whole.decoded) << what;
                    }
                }
            }
        }
    }
}

TEST(AdpcmEncoder, GreedyTakesTheNearestCodeForEverySample) {
    for (const char* kind : {"bursts", "square", "noise"}) {
        const Samples samples = makeSound(kind, 3000, 7);
        const Encoded encoded = encodeInChunks(samples, {800, true, true}, 0, 7);
        AdpcmState state;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (i % 800 == 0) {
                state = AdpcmState{};
            }
            int nearest = 1 << 30;
            for (unsigned code = 0; code < 16; ++code) {
                AdpcmState trial = state;
                nearest = std::min(nearest, std::abs(decodeAdpcmCode(trial, code) - samples[i]));
            }
            ASSERT_EQ(std::abs(encoded.decoded[i] - samples[i]), nearest) << kind << " sample " << i;
            // Follow the decoder along the code that was sent.
            for (unsigned code = 0; code < 16; ++code) {
                AdpcmState trial = state;
                if (decodeAdpcmCode(trial, code) == encoded.decoded[i]) {
                    state = trial;
                    break;
                }
            }
        }
    }
}

TEST(AdpcmEncoder, DefaultIsBetterThanNearestCodesInFixedBlocksAtAboutTheSameSize) {
    for (const char* kind : {"bursts", "sine", "noise"}) {
        const Samples samples = makeSound(kind, 24000, 3);
        const Encoded plain = encodeInChunks(samples, {800, true, true}, 0, 1);
        const Encoded best = encodeInChunks(samples, {}, 0, 1);
        EXPECT_GT(snr(samples, best.decoded), snr(samples, plain.decoded) + (kind == std::string("bursts") ? 2 : 0))
            << kind;
        EXPECT_LE(static_cast<double>(best.bytes.size()), 1.03 * static_cast<double>(plain.bytes.size())) << kind;
    }
}

TEST(AdpcmEncoder, RefusesBlockSizesOutOfRange) {
    const Samples samples(10, 0);
    Bytes bytes;
    for (const std::uint32_t maxBlock : {0U, maxAdpcmBlockLimit + 1}) {
        AdpcmEncoder encoder;
        encoder.settings.maxBlock = maxBlock;
        EXPECT_THROW(encodeAdpcm(encoder, samples.data(), samples.size(), bytes), std::invalid_argument);
        EXPECT_THROW(finishAdpcm(encoder, bytes), std::invalid_argument);
    }
}

}  // namespace
