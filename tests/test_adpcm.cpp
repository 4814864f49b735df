// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <utility>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;

using fixture::Bytes;
using Samples = std::vector<std::int16_t>;
using Codes = std::vector<std::uint8_t>;

namespace {

constexpr std::int16_t guard = 0x5A5A;

struct Decoded {
    Samples samples;
    std::vector<std::uint32_t> returned;  // what each call gave
};

// Decodes `sound` as the converter does, in calls of `request` samples until a
// short one, then makes one more call, which must give nothing.
Decoded decodeInCalls(const Bytes& sound, std::uint32_t request) {
    const FilePtr file = openBytes(sound);
    SoundStream stream;
    stream.file = file.get();
    Decoded decoded;
    std::vector<std::int16_t> buffer(request + 4, guard);
    for (;;) {
        const std::uint32_t got = decodeAdpcm(request, buffer.data(), stream);
        decoded.returned.push_back(got);
        EXPECT_LE(got, request);
        EXPECT_EQ(Samples(buffer.begin() + request, buffer.end()), Samples(4, guard)) << "wrote past the request";
        decoded.samples.insert(decoded.samples.end(), buffer.begin(), buffer.begin() + got);
        if (got < request) {
            break;
        }
    }
    EXPECT_EQ(decodeAdpcm(request, buffer.data(), stream), 0U) << "a call after the end";
    return decoded;
}

Samples decodeAll(const Bytes& sound) {
    return decodeInCalls(sound, 4000).samples;
}

template <typename T>
std::vector<T> concat(std::initializer_list<std::vector<T>> parts) {
    std::vector<T> all;
    for (const std::vector<T>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Codes from a fixed-seed generator, all sixteen values in every context.
Codes scrambledCodes(std::size_t count, std::uint32_t seed) {
    Codes codes;
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 1664525U + 1013904223U;
        codes.push_back(static_cast<std::uint8_t>(seed >> 28));
    }
    return codes;
}

Codes repeated(std::uint8_t code, std::size_t count) {
    return Codes(count, code);
}

}  // namespace

TEST(ReadCompactCount, ReadsEachForm) {
    const struct {
        Bytes bytes;
        std::uint32_t value;
    } cases[] = {
        {{0x0A}, 5},
        {{0xFE}, 127},
        {{0x00}, 0},
        {{0x05, 0x01}, 65},
        {{0xFD, 0xFF}, 16383},
        {{0x01, 0x00}, 0},
        {{0x0B, 0x00, 0x00, 0x00}, 1},
        {{0x03, 0x40, 0x1F, 0x00}, 256000},
        {{0xFB, 0xFF, 0xFF, 0xFF}, 536870911},
        {{0x07, 0x12}, 4615},  // keeps its tag bits and reads no further
        {{0x07, 0x00}, 7},
        {{0xFF, 0xFF}, 65535},
    };
    for (const auto& c : cases) {
        Bytes input = c.bytes;
        input.push_back(0x99);
        const FilePtr file = openBytes(input);
        const CompactCount count = readCompactCount(file.get());
        EXPECT_TRUE(count.complete) << "first byte " << int{c.bytes[0]};
        EXPECT_EQ(count.value, c.value) << "first byte " << int{c.bytes[0]};
        EXPECT_EQ(std::fgetc(file.get()), 0x99) << c.bytes.size() << " bytes should be read";
    }
}

TEST(ReadCompactCount, ReportsAnInputThatEndsInsideIt) {
    const Bytes cases[] = {{}, {0x05}, {0x07}, {0x03}, {0x03, 0x40}, {0x03, 0x40, 0x1F}};
    for (const Bytes& bytes : cases) {
        const FilePtr file = openBytes(bytes);
        EXPECT_FALSE(readCompactCount(file.get()).complete) << bytes.size() << " bytes";
    }
}

TEST(ReadCompactCount, ReadsWhatTheShortestFormsHold) {
    const struct {
        std::uint32_t value;
        std::size_t length;  // of the shortest form
    } cases[] = {{0, 1}, {127, 1}, {128, 2}, {16383, 2}, {16384, 4}, {256000, 4}, {536870911, 4}};
    for (const auto& [value, length] : cases) {
        Bytes bytes;
        EXPECT_EQ(recwav::appendCompactCount(bytes, value), recwav::Status::ok);
        EXPECT_EQ(bytes.size(), length) << value;
        const FilePtr file = openBytes(bytes);
        const CompactCount count = readCompactCount(file.get());
        EXPECT_TRUE(count.complete && count.value == value) << value;
        EXPECT_EQ(std::fgetc(file.get()), EOF) << value;
    }
    Bytes bytes;
    EXPECT_EQ(recwav::appendCompactCount(bytes, recwav::maxCompactCount + 1), recwav::Status::badSetting);
    EXPECT_TRUE(bytes.empty());
}

TEST(DecodeAdpcm, DecodesFromTheStartOfABlock) {
    const struct {
        const char* name;
        Codes codes;
        Samples samples;
        int stepIndex;  // afterwards
    } cases[] = {
        {"byte 7F", {0x7, 0xF}, {11, -19}, 16},
        {"step 34 after byte 7F", {0x7, 0xF, 0x0}, {11, -19, -15}, 15},
        {"codes 0 and 8 at index 0", {0x0, 0x8, 0x0, 0x8}, {0, 0, 0, 0}, 0},
        {"twenty codes of 7",
         repeated(0x7, 20),
         {11,    41,    104,   240,   533,   1164,  2521,  5431,  11667, 25039,
          32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767, 32767},
         88},
        {"twenty codes of 15",
         repeated(0xF, 20),
         {-11,    -41,    -104,   -240,   -533,   -1164,  -2521,  -5431,  -11667, -25039,
          -32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768, -32768},
         88},
    };
    for (const auto& c : cases) {
        const FilePtr file = openBytes(fixture::adpcmBlock(c.codes));
        SoundStream stream;
        stream.file = file.get();
        Samples buffer(c.codes.size());
        ASSERT_EQ(decodeAdpcm(static_cast<std::uint32_t>(buffer.size()), buffer.data(), stream), buffer.size())
            << c.name;
        EXPECT_EQ(buffer, c.samples) << c.name;
        EXPECT_EQ(stream.stepIndex, c.stepIndex) << c.name;
        EXPECT_EQ(stream.predictor, c.samples.back()) << c.name;
    }
}

TEST(DecodeAdpcm, AgreesWithTheModelAtEveryStepIndex) {
    // Up two, down one: every index from 0 to 88 is passed through.
    Codes climbing;
    fixture::AdpcmModel model;
    std::set<int> indices;
    while (climbing.size() < 400) {
        for (const std::uint8_t code : {0x4, 0x0, 0xC, 0x8}) {
            indices.insert(model.stepIndex());
            model.decode(code);
            climbing.push_back(code);
        }
    }
    ASSERT_EQ(indices.size(), 89U);
    const Codes scrambled = scrambledCodes(20000, 7);
    for (const Codes& codes : {climbing, scrambled, scrambledCodes(9, 3)}) {
        const Samples expected = fixture::decodeAdpcmCodes(codes);
        EXPECT_EQ(decodeAll(fixture::adpcmBlock(codes)), expected);
        // The kernel over memory, as the encoders and the page use it.
        AdpcmState state;
        Samples kernel(codes.size());
        decodeAdpcmCodes(fixture::packNibbles(codes).data(), codes.size(), state, kernel.data());
        EXPECT_EQ(kernel, expected);
        EXPECT_EQ(state.predictor, expected.back());
    }
}

TEST(DecodeAdpcm, ReadsEachBlockWhereTheLayoutPlacesIt) {
    const Codes nine = scrambledCodes(9, 1);
    const Codes saturating = repeated(0x7, 20);
    const Codes four = {0x7, 0xF, 0x7, 0x7};
    const std::array<std::uint8_t, 4> countLike = {0x0A, 0x0A, 0x0A, 0x0A};
    const Codes sevenCodes = scrambledCodes(7, 2);
    const struct {
        const char* name;
        Bytes sound;
        Samples samples;
    } cases[] = {
        {"odd block, then the next header at the following byte",
         concat({fixture::adpcmBlock(nine), fixture::adpcmBlock(four)}),
         concat({fixture::decodeAdpcmCodes(nine), {11, -19, 44, 180}})},
        {"empty blocks give nothing",
         concat({fixture::adpcmBlock({}), fixture::adpcmBlock(four), fixture::adpcmBlock({}), fixture::adpcmBlock({}),
                 fixture::adpcmBlock(nine)}),
         concat({{11, -19, 44, 180}, fixture::decodeAdpcmCodes(nine)})},
        {"every block starts again from predictor and index 0",
         concat({fixture::adpcmBlock(saturating), fixture::adpcmBlock(four)}),
         concat({fixture::decodeAdpcmCodes(saturating), {11, -19, 44, 180}})},
        {"the second count and the skipped bytes are not read as codes",
         concat({fixture::adpcmBlock(four, 16383, countLike),
                 fixture::adpcmBlock(nine, 536870911, {0xFF, 0xFF, 0xFF, 0xFF})}),
         concat({{11, -19, 44, 180}, fixture::decodeAdpcmCodes(nine)})},
        {"counts in the four-byte and the unshifted form",
         concat({{0x23, 0x00, 0x00, 0x00},
                 {0xFF, 0xFF},
                 {1, 2, 3, 4},
                 fixture::packNibbles(four),
                 {0x07, 0x00},
                 {0x1B, 0x00, 0x00, 0x00},
                 {0, 0, 0, 0},
                 fixture::packNibbles(sevenCodes)}),
         concat({{11, -19, 44, 180}, fixture::decodeAdpcmCodes(sevenCodes)})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeAll(c.sound), c.samples) << c.name;
    }
}

TEST(DecodeAdpcm, GivesTheSameSamplesWhateverTheRequestSize) {
    // Odd blocks put call ends after high nibbles; a block longer than a call
    // carries predictor and index across it.
    Bytes sound;
    Samples expected;
    std::uint32_t seed = 11;
    for (const std::size_t size : {10000, 9, 0, 1, 4001, 2, 3, 7999, 505, 505}) {
        const Codes codes = scrambledCodes(size, ++seed);
        sound = concat({sound, fixture::adpcmBlock(codes)});
        expected = concat({expected, fixture::decodeAdpcmCodes(codes)});
    }
    for (const std::uint32_t request : {1U, 2U, 3U, 4000U, 4001U}) {
        const Decoded decoded = decodeInCalls(sound, request);
        EXPECT_EQ(decoded.samples, expected) << "requests of " << request;
        EXPECT_EQ(decoded.returned.back(), expected.size() % request) << "requests of " << request;
    }
}

TEST(DecodeAdpcm, CarriesItsPlaceInABlockAcrossCalls) {
    const Codes first = scrambledCodes(10000, 3);
    const Codes second = scrambledCodes(3000, 4);
    const Decoded decoded = decodeInCalls(concat({fixture::adpcmBlock(first), fixture::adpcmBlock(second)}), 4000);
    EXPECT_EQ(decoded.returned, (std::vector<std::uint32_t>{4000, 4000, 4000, 1000}));
    EXPECT_EQ(decoded.samples, concat({fixture::decodeAdpcmCodes(first), fixture::decodeAdpcmCodes(second)}));

    // Two requests of 2 on one block whose codes begin 7F 77.
    const FilePtr file = openBytes(fixture::adpcmBlock({0x7, 0xF, 0x7, 0x7, 0x0}));
    SoundStream stream;
    stream.file = file.get();
    Samples buffer(2);
    ASSERT_EQ(decodeAdpcm(2, buffer.data(), stream), 2U);
    EXPECT_EQ(buffer, (Samples{11, -19}));
    ASSERT_EQ(decodeAdpcm(2, buffer.data(), stream), 2U);
    EXPECT_EQ(buffer, (Samples{44, 180}));
}

TEST(DecodeAdpcm, EndsWithTheLastWholeCodeWhereverTheFileIsCut) {
    // Headers in each form, odd and empty blocks; the file is cut at every byte:
    // inside a count, inside the skipped bytes, inside the codes, and at the end.
    const Codes odd = scrambledCodes(5, 5);
    const Codes even = scrambledCodes(6, 6);
    const Codes wide = scrambledCodes(200, 7);
    const std::vector<std::pair<Bytes, Codes>> blocks = {
        {concat({{0x0A, 0x0B, 0x00, 0x00, 0x00}, Bytes(4, 0xEE)}), odd},
        {fixture::adpcmBlock({}), {}},
        {concat({{0x21, 0x03}, {0x07, 0x12}, Bytes(4, 0xEE)}), wide},
        {concat({{0x33, 0x00, 0x00, 0x00}, {0x0C}, Bytes(4, 0xEE)}), even},
    };
    Bytes sound;
    Samples all;
    std::vector<std::size_t> bytesNeeded;  // for each sample, the file length it needs
    for (const auto& [header, codes] : blocks) {
        sound = concat({sound, header});
        for (std::size_t i = 0; i < codes.size(); ++i) {
            bytesNeeded.push_back(sound.size() + i / 2 + 1);
        }
        sound = concat({sound, fixture::packNibbles(codes)});
        all = concat({all, fixture::decodeAdpcmCodes(codes)});
    }
    ASSERT_EQ(decodeAll(sound), all);

    for (std::size_t length = 0; length <= sound.size(); ++length) {
        std::size_t whole = 0;
        while (whole < bytesNeeded.size() && bytesNeeded[whole] <= length) {
            ++whole;
        }
        const Bytes cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(length));
        for (const std::uint32_t request : {3U, 4000U}) {
            EXPECT_EQ(decodeInCalls(cut, request).samples, Samples(all.begin(), all.begin() + whole))
                << "cut to " << length << " bytes, requests of " << request;
        }
    }
}
