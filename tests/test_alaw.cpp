// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <recwav/decoders.hpp>
#include "test_files.hpp"

using namespace recwav;

namespace {

std::vector<std::int16_t> decodeAll(const fixture::Bytes& codes) {
    const FilePtr file = openBytes(codes);
    SoundStream stream;
    stream.file = file.get();
    std::vector<std::int16_t> samples(codes.size() + 1);
    samples.resize(decodeALaw(static_cast<std::uint32_t>(samples.size()), samples.data(), stream));
    return samples;
}

}  // namespace

TEST(DecodeALaw, ExpandsCodesWithTheSignInverted) {
    const struct {
        std::uint8_t code;
        std::int16_t sample;
    } cases[] = {
        {0x00, 5504},   {0x80, -5504}, {0x55, 8},    {0xD5, -8}, {0x2A, 32256},
        {0xAA, -32256}, {0x7F, 848},   {0xFF, -848}, {0x54, 24}, {0xD4, -24},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeAll({c.code}), std::vector<std::int16_t>{c.sample}) << "code " << int{c.code};
    }
}

TEST(DecodeALaw, EveryCodeIsTheInverseOfTheSegmentEncoder) {
    fixture::Bytes codes;
    for (int code = 0; code < 256; ++code) {
        codes.push_back(static_cast<std::uint8_t>(code));
    }
    const std::vector<std::int16_t> samples = decodeAll(codes);
    ASSERT_EQ(samples.size(), codes.size());
    for (std::size_t code = 0; code < samples.size(); ++code) {
        EXPECT_EQ(fixture::encodeALaw(samples[code]), code) << "sample " << samples[code];
    }
}

TEST(DecodeALaw, StopsOnlyAtTheEndOfTheInput) {
    const struct {
        std::size_t soundBytes;
        std::vector<std::uint32_t> returned;
    } cases[] = {
        {10000, {4000, 4000, 2000}},
        {8000, {4000, 4000, 0}},
        {1, {1}},
        {0, {0}},
    };
    for (const auto& c : cases) {
        const FilePtr file = openBytes(fixture::Bytes(c.soundBytes, 0x55));
        SoundStream stream;
        stream.file = file.get();
        std::vector<std::int16_t> buffer(4000, 0);
        for (const std::uint32_t expected : c.returned) {
            EXPECT_EQ(decodeALaw(4000, buffer.data(), stream), expected) << c.soundBytes << " bytes";
        }
        EXPECT_EQ(decodeALaw(4000, buffer.data(), stream), 0U) << "a call after the end";
    }
}

TEST(DecodeALaw, NeverWritesPastWhatWasAsked) {
    const FilePtr file = openBytes(fixture::Bytes(10, 0x00));
    SoundStream stream;
    stream.file = file.get();
    std::vector<std::int16_t> buffer(6, -1);
    EXPECT_EQ(decodeALaw(3, buffer.data(), stream), 3U);
    EXPECT_EQ(buffer, (std::vector<std::int16_t>{5504, 5504, 5504, -1, -1, -1}));
    EXPECT_EQ(std::ftell(file.get()), 3);
}
