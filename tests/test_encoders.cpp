// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
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
#include "adpcmsearch.hpp"
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
        EXPECT_LE(encoder.pending.size(), adpcmWindow(settings));
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
        } else if (kind == "click" && i >= 12007 && i < 12127) {
            // Silence, and a loud ringing click where a block may just have begun.
            value = 30000 * std::exp(-400 * (t - 1.500875)) * std::cos(2 * std::numbers::pi * 1100 * t);
        } else if (kind == "clipped" || kind == "quiet") {
            // The bursts 18 dB louder, clipped; or 46 dB quieter.
            const double envelope = std::max(0.0, std::sin(2 * std::numbers::pi * 1.7 * t));
            value = (kind == "clipped" ? 7.9 : 0.005) * envelope * envelope *
                    (9000 * std::sin(2 * std::numbers::pi * 310 * t) + 500 * noise(random));
        } else if (kind == "plucks") {
            // A chord struck every 0.6 s: harmonics with no attack, dying away.
            const double since = std::fmod(t, 0.6);
            for (const double f : {261.63, 329.63, 392.0}) {
                for (int harmonic = 1; harmonic <= 6; ++harmonic) {
                    value += 9000 * std::sin(2 * std::numbers::pi * f * harmonic * since) / harmonic *
                             std::exp(-(2.0 + 1.5 * harmonic) * since);
                }
            }
        } else if (kind == "drums") {
            // A falling sine on the beat, a noise burst between.
            const double since = std::fmod(t, 0.25);
            value = i / 2000 % 2 == 0 ? 28000 * std::sin(2 * std::numbers::pi * 60 * since) * std::exp(-since / 0.08)
                                      : 14000 * noise(random) * std::exp(-since / 0.05);
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

std::string nameOf(AdpcmSearch search) {
    const char* const names[] = {"nearest", "narrow", "standard", "best", "widest"};
    return names[static_cast<std::size_t>(search)];
}

TEST(AdpcmEncoder, BytesDecodeToWhatItReportsWhateverTheChunkingAndSettings) {
    struct Case {
        std::uint32_t maxBlock;
        std::size_t length;
    };
    // Every edge of a block: one sample, odd and even, exactly the maximum,
    // just past it, past its lookahead and past two blocks, the compact
    // counts' forms, and blocks longer than a search holds the trail of.
    const Case cases[] = {{1, 0},     {1, 1},      {1, 37},     {2, 5},      {3, 64},       {7, 7},
                          {7, 40},    {8, 25},     {127, 127},  {127, 128},  {127, 300},    {128, 143},
                          {128, 144}, {800, 1},    {800, 799},  {800, 800},  {800, 801},    {800, 816},
                          {800, 817}, {800, 1617}, {800, 5003}, {801, 3000}, {16384, 17000}};
    std::uint32_t seed = 1;
    for (const AdpcmSearch search :
         {AdpcmSearch::nearest, AdpcmSearch::narrow, AdpcmSearch::standard, AdpcmSearch::best, AdpcmSearch::widest}) {
        // The wide searches on fewer and shorter sounds: they are slow.
        const bool slow = search == AdpcmSearch::best || search == AdpcmSearch::widest;
        const std::size_t longest = search == AdpcmSearch::widest ? 300 : slow ? 2000 : 17000;
        for (const char* kind : {"bursts", "sine", "square", "noise", "silence"}) {
            if (slow && kind != std::string("bursts")) {
                continue;
            }
            for (const Case& c : cases) {
                if (c.length > longest) {
                    continue;
                }
                const Samples samples = makeSound(kind, c.length, seed);
                for (const bool fixed : {false, true}) {
                    const AdpcmSettings settings{c.maxBlock, fixed, search};
                    const std::string what = std::string(kind) + " maxBlock " + std::to_string(c.maxBlock) +
                                             " length " + std::to_string(c.length) + (fixed ? " fixed " : " ") +
                                             nameOf(search);
                    const Encoded whole = encodeInChunks(samples, settings, 0, seed);
                    ASSERT_EQ(whole.decoded.size(), samples.size()) << what;
                    EXPECT_EQ(whole.reported, samples.size()) << what;
                    EXPECT_EQ(decodeWithRecwav(whole.bytes), whole.decoded) << what;
                    const std::vector<std::uint32_t> lengths = blockLengths(whole.bytes);
                    std::size_t total = 0;
                    for (std::size_t b = 0; b < lengths.size(); ++b) {
                        EXPECT_GE(lengths[b], 1U) << what;
                        EXPECT_LE(lengths[b], c.maxBlock) << what;
                        if (b + 1 < lengths.size()) {
                            if (fixed) {
                                EXPECT_EQ(lengths[b], c.maxBlock) << what;
                            } else {
                                // Even from half of the most on, or the most.
                                EXPECT_TRUE(lengths[b] == c.maxBlock ||
                                            (lengths[b] % 2 == 0 && lengths[b] >= c.maxBlock / 2))
                                    << what << " block " << b << " of " << lengths[b];
                            }
                        }
                        total += lengths[b];
                    }
                    EXPECT_EQ(total, samples.size()) << what;
                    for (const std::size_t largest : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
                        if (slow && largest != 3) {
                            continue;
                        }
                        const Encoded chunked = encodeInChunks(samples, settings, largest, ++seed);
                        EXPECT_EQ(chunked.bytes, whole.bytes) << what << " in chunks of up to " << largest;
                        EXPECT_EQ(chunked.decoded, whole.decoded) << what;
                    }
                }
            }
        }
    }
}

TEST(AdpcmEncoder, NearestTakesTheNearestCodeForEverySample) {
    for (const char* kind : {"bursts", "square", "noise"}) {
        const Samples samples = makeSound(kind, 3000, 7);
        const Encoded encoded = encodeInChunks(samples, {800, true, AdpcmSearch::nearest}, 0, 7);
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

// What each search reports, from any starting state and over any length (a
// long one read back a part at a time), is what the decoder makes of its codes.
TEST(AdpcmSearch, ReportsTheErrorAndTheEndStateOfTheCodesItChooses) {
    struct Case {
        const char* kind;
        std::size_t length;
        AdpcmState start;
    };
    const Case cases[] = {{"bursts", 5000, {}},
                          {"square", 2100, {-32768, 88}},
                          {"noise", 4097, {12345, 40}},
                          {"silence", 300, {32767, 88}},
                          {"sine", 1, {0, 0}}};
    for (const AdpcmSearch search :
         {AdpcmSearch::nearest, AdpcmSearch::narrow, AdpcmSearch::standard, AdpcmSearch::best, AdpcmSearch::widest}) {
        for (const Case& c : cases) {
            // The slow searches on less, though still past a part of a long block.
            const std::size_t length = std::min<std::size_t>(c.length, search == AdpcmSearch::widest ? 300
                                                                       : search == AdpcmSearch::best ? 2100
                                                                                                     : c.length);
            const Samples samples = makeSound(c.kind, length, 5);
            std::vector<std::uint8_t> codes(length, 0xFF);
            AdpcmState state = c.start;
            const std::uint64_t reported = searchAdpcmCodes(samples.data(), length, state, search, codes.data());
            AdpcmState decoder = c.start;
            std::uint64_t error = 0;
            for (std::size_t i = 0; i < length; ++i) {
                ASSERT_LT(codes[i], 16) << c.kind << " " << nameOf(search);
                const std::int64_t difference = decodeAdpcmCode(decoder, codes[i]) - samples[i];
                error += static_cast<std::uint64_t>(difference * difference);
            }
            EXPECT_EQ(reported, error) << c.kind << " " << nameOf(search);
            EXPECT_EQ(state.predictor, decoder.predictor) << c.kind << " " << nameOf(search);
            EXPECT_EQ(state.stepIndex, decoder.stepIndex) << c.kind << " " << nameOf(search);
        }
    }
}

// From every step index and a spread of predictors, toward samples across the
// whole range (where codes clamp too), the nearest search's one code decodes
// nearest to the sample of all 16, and of two as near, to the lower value.
TEST(AdpcmEncoder, TheNearestCodeIsTheNearestOfAllSixteen) {
    for (std::uint32_t index = 0; index <= adpcmMaxStepIndex; ++index) {
        for (const std::int32_t predictor : {-32768, -20000, -700, -1, 0, 3, 900, 31000, 32767}) {
            for (std::int32_t sample = -32768; sample <= 32767; sample += 97) {
                const auto value = [&](unsigned code) {
                    AdpcmState state{predictor, index};
                    return decodeAdpcmCode(state, code);
                };
                AdpcmState state{predictor, index};
                const auto wanted = static_cast<std::int16_t>(sample);
                std::uint8_t chosen = 0;
                searchAdpcmCodes(&wanted, 1, state, AdpcmSearch::nearest, &chosen);
                const std::int32_t got = value(chosen);
                for (unsigned code = 0; code < 16; ++code) {
                    const std::int32_t other = value(code);
                    const bool nearer = std::abs(other - sample) < std::abs(got - sample);
                    const bool asNearAndLower = std::abs(other - sample) == std::abs(got - sample) && other < got;
                    ASSERT_FALSE(nearer || asNearAndLower)
                        << "index " << index << " predictor " << predictor << " sample " << sample << ": code "
                        << int{chosen} << " gives " << got << ", code " << code << " " << other;
                }
            }
        }
    }
}

// The wide searches' selection of the cost they keep up to: the k-th least,
// as a sort gives it, for counts around where it partitions, costs with many
// ties or none, and k from the first to the last.
TEST(AdpcmEncoder, TheCostKeptUpToIsTheKthLeast) {
    std::mt19937_64 random(7);
    for (const std::size_t count : {1U, 59U, 60U, 61U, 200U, 1044U, 4000U}) {
        for (const std::int64_t range : {std::int64_t{3}, std::int64_t{1000}, std::int64_t{1} << 62U}) {
            std::vector<std::int64_t> costs(count);
            for (std::int64_t& cost : costs) {
                cost = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(range));
            }
            std::vector<std::int64_t> sorted = costs;
            std::sort(sorted.begin(), sorted.end());
            for (const std::size_t k : {std::size_t{0}, count / 8, count / 2, count - 1}) {
                std::vector<std::int64_t> work = costs;
                std::vector<std::int64_t> spare(count);
                EXPECT_EQ(detail::leastCost(work.data(), spare.data(), count, k), sorted[k])
                    << count << " costs under " << range << ", k " << k;
            }
        }
    }
}

// The planner's restart costs, found several side by side, are each the cost
// of nearest codes from a fresh decoder found alone: through silence, noise
// at full scale, squares that clamp, whispers and a loud tone, up to the end.
TEST(AdpcmEncoder, RestartCostsAreEachTheFreshNearestCost) {
    std::mt19937 random(3);
    Samples samples(2500);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto noise = static_cast<std::int32_t>(random() % 65536) - 32768;
        const std::int32_t square = i % 14 < 7 ? 32767 : -32768;
        const auto tone = static_cast<std::int32_t>(20000 * std::sin(0.3 * static_cast<double>(i)));
        const std::int32_t parts[] = {0, noise, square, noise / 2000, tone};
        samples[i] = static_cast<std::int16_t>(parts[i / 500]);
    }
    for (const std::size_t length : {8U, 40U}) {
        for (const std::size_t step : {1U, 2U}) {
            const std::size_t from = 3;
            const std::size_t count = (samples.size() - 1 - from) / step + 1;
            std::vector<std::int64_t> costs(samples.size(), -1);
            detail::restartCosts(samples.data(), samples.size(), from, step, count, length, costs.data());
            for (std::size_t at = from; at < samples.size(); at += step) {
                const std::size_t seen = std::min(length, samples.size() - at);
                ASSERT_EQ(costs[at], detail::freshNearestCost(samples.data() + at, seen, INT64_MAX))
                    << "at " << at << ", over " << length << ", every " << step;
            }
        }
    }
}

TEST(AdpcmEncoder, EachSearchBeatsTheOneBeforeAtAboutTheSameSize) {
    for (const char* kind : {"bursts", "sine", "noise"}) {
        const Samples samples = makeSound(kind, 12000, 3);
        const Encoded plain = encodeInChunks(samples, {800, true, AdpcmSearch::nearest}, 0, 1);
        double before = snr(samples, plain.decoded);
        for (const AdpcmSearch search : {AdpcmSearch::narrow, AdpcmSearch::standard, AdpcmSearch::best}) {
            const Encoded coded = encodeInChunks(samples, {800, false, search}, 0, 1);
            const double now = snr(samples, coded.decoded);
            EXPECT_GT(now, before) << kind << " " << nameOf(search);
            EXPECT_LE(static_cast<double>(coded.bytes.size()), 1.03 * static_cast<double>(plain.bytes.size()))
                << kind << " " << nameOf(search);
            before = now;
        }
    }
}

// A search allowed more, or blocks planned rather than fixed, never gives a
// worse file: best in blocks of up to 1600 against 800, and each planned
// search against itself in fixed blocks, on loud, clipped, quiet and sudden
// sounds.
TEST(AdpcmEncoder, MoreSearchOrLongerBlocksNeverGiveAWorseFile) {
    const struct {
        const char* kind;
        std::size_t length;
    } sounds[] = {{"click", 16000}, {"clipped", 12000}, {"quiet", 12000}, {"plucks", 12000},
                  {"drums", 12000}, {"bursts", 12000},  {"noise", 6000}};
    for (const auto& sound : sounds) {
        const Samples samples = makeSound(sound.kind, sound.length, 11);
        const auto ratio = [&](const AdpcmSettings& settings) {
            return snr(samples, encodeInChunks(samples, settings, 0, 1).decoded);
        };
        for (const AdpcmSearch search : {AdpcmSearch::standard, AdpcmSearch::best}) {
            if (search == AdpcmSearch::best && std::string(sound.kind) != "click" &&
                std::string(sound.kind) != "clipped") {
                continue;  // slow: where it mattered
            }
            const double planned = ratio({800, false, search});
            EXPECT_GE(planned, ratio({800, true, search})) << sound.kind << " " << nameOf(search);
            if (search == AdpcmSearch::best) {
                EXPECT_GE(ratio({1600, false, search}), planned) << sound.kind;
            }
        }
    }
}

// Where a struck chord starts, the sound moves faster than the step can
// follow: the default widens its search there, and so comes near best.
TEST(AdpcmEncoder, TheDefaultFollowsAStruckChordNearlyAsWellAsBest) {
    const Samples samples = makeSound("plucks", 12000, 11);
    const auto ratio = [&](AdpcmSearch search) {
        return snr(samples, encodeInChunks(samples, {800, false, search}, 0, 1).decoded);
    };
    EXPECT_GT(ratio(AdpcmSearch::standard), ratio(AdpcmSearch::best) - 0.5);
}

// A block starts at the least step, which cannot meet a note struck within
// a few samples of it: the planner starts none in the 40 samples before one,
// however the notes fall against the window it plans in.
TEST(AdpcmEncoder, NoBlockStartsJustBeforeAStruckNote) {
    for (const std::size_t period : {613, 528, 391, 1116}) {
        // A quiet tone, and every `period` samples a note struck at full scale.
        Samples samples(40000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double since = static_cast<double>(i % period) / 8000;
            samples[i] = static_cast<std::int16_t>(
                std::lround(2500 * std::sin(2 * std::numbers::pi * 300 * static_cast<double>(i) / 8000) +
                            30000 * std::exp(-30 * since) * std::cos(2 * std::numbers::pi * 500 * since)));
        }
        AdpcmEncoder encoder;
        AdpcmSpan span;
        planAdpcm(encoder, samples.data(), samples.size(), span);
        finishAdpcmPlan(encoder, span);
        ASSERT_GT(span.blocks.size(), 50U);
        std::size_t start = 0;
        for (std::size_t block = 0; block + 1 < span.blocks.size(); ++block) {
            start += span.blocks[block];
            const std::size_t note = (start + period - 1) / period * period;  // the next struck, or this one
            EXPECT_GE(note - start, 40U) << "notes every " << period << ", a block starting at " << start;
        }
    }
}

// Blocks planned, then coded a span at a time, however the plan is cut into
// spans, give encodeAdpcm's bytes.
TEST(AdpcmEncoder, SpansOfPlannedBlocksGiveTheEncodersBytes) {
    std::mt19937 random(3);
    for (const AdpcmSettings settings : {AdpcmSettings{}, AdpcmSettings{7, false}, AdpcmSettings{801, true},
                                         AdpcmSettings{800, false, AdpcmSearch::narrow}}) {
        const Samples samples = makeSound("bursts", 30001, 4);
        const Encoded whole = encodeInChunks(samples, settings, 0, 1);
        AdpcmEncoder encoder;
        encoder.settings = settings;
        AdpcmSpan plan;
        EXPECT_EQ(planAdpcm(encoder, samples.data(), samples.size(), plan) + finishAdpcmPlan(encoder, plan),
                  samples.size());
        ASSERT_EQ(plan.samples, samples);
        Bytes bytes;
        Samples decoded;
        for (std::size_t first = 0, at = 0; first < plan.blocks.size();) {
            const std::size_t blocks =
                std::min(plan.blocks.size() - first, std::uniform_int_distribution<std::size_t>(1, 9)(random));
            codeAdpcmBlocks(plan.samples.data() + at, plan.blocks.data() + first, blocks, settings.search, bytes,
                            &decoded);
            for (std::size_t b = 0; b < blocks; ++b) {
                at += plan.blocks[first + b];
            }
            first += blocks;
        }
        EXPECT_EQ(bytes, whole.bytes) << settings.maxBlock;
        EXPECT_EQ(decoded, whole.decoded) << settings.maxBlock;
    }
}

TEST(AdpcmEncoder, RefusesSettingsOutOfRange) {
    const Samples samples(10, 0);
    Bytes bytes;
    for (const AdpcmSettings settings : {AdpcmSettings{0}, AdpcmSettings{maxAdpcmBlockLimit + 1},
                                         AdpcmSettings{800, false, static_cast<AdpcmSearch>(5)}}) {
        EXPECT_EQ(checkAdpcmSettings(settings), Status::badSetting);
        AdpcmEncoder encoder;
        encoder.settings = settings;
        EXPECT_EQ(encodeAdpcm(encoder, samples.data(), samples.size(), bytes), 0U);
        EXPECT_EQ(finishAdpcm(encoder, bytes), 0U);
        EXPECT_TRUE(bytes.empty());
        RecordEncoder record;
        record.settings.codec = codecAdpcm;
        record.settings.adpcm = settings;
        std::array<std::uint8_t, recordPreambleSize> settled{};
        EXPECT_EQ(encodeRecord(record, samples.data(), samples.size(), bytes), Status::badSetting);
        EXPECT_EQ(finishRecord(record, bytes, settled), Status::badSetting);
        EXPECT_TRUE(bytes.empty());
    }
}

}  // namespace
