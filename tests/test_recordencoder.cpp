// SPDX-License-Identifier: MIT
// The encoder of whole Record files: the same bytes however the samples
// arrive, and a read-back check that passes the file as made and finds any
// damage to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <recwav/encoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;
using fixture::Bytes;

namespace {

struct Made {
    Bytes bytes;
    RecordSummary summary;
    std::vector<std::int16_t> decoded;
};

// Codes `samples` in chunks of the sizes `chunk` gives, then settles the file.
template <typename Chunk>
Made makeRecord(const std::vector<std::int16_t>& samples, const RecordSettings& settings, Chunk chunk) {
    RecordEncoder encoder;
    encoder.settings = settings;
    Made made;
    for (std::size_t at = 0; at < samples.size();) {
        const std::size_t count = std::min(samples.size() - at, chunk());
        EXPECT_EQ(encodeRecord(encoder, samples.data() + at, count, made.bytes, &made.decoded), Status::ok);
        at += count;
    }
    std::array<std::uint8_t, recordPreambleSize> settled{};
    EXPECT_EQ(finishRecord(encoder, made.bytes, settled, &made.decoded), Status::ok);
    std::copy(settled.begin(), settled.end(), made.bytes.begin());
    made.summary = encoder.summary;
    return made;
}

std::vector<std::int16_t> noise(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Loud and quiet stretches, so that ADPCM blocks end early too.
        const int scale = i % 1500 < 300 ? 64 : 12000;
        samples[i] = static_cast<std::int16_t>(static_cast<int>(random() % (2U * scale + 1)) - scale);
    }
    return samples;
}

std::string check(const Bytes& bytes, const RecordSummary& meant) {
    const FilePtr file = openBytes(bytes);
    std::string detail;
    const Status status = checkRecordFile(file.get(), meant, detail);
    EXPECT_EQ(status == Status::ok, detail.empty()) << detail;
    return detail;
}

}  // namespace

TEST(RecordEncoder, GivesOneFileHoweverTheSamplesArriveAndItReadsBackAsCoded) {
    const struct {
        const char* name;
        RecordSettings settings;
    } codings[] = {
        {"alaw", {}},
        {"adpcm", {codecAdpcm, {}, {}}},
        {"adpcm fixed 7", {codecAdpcm, {7, true}, {}}},
    };
    for (const auto& coding : codings) {
        for (const std::size_t length : {0, 1, 4001}) {
            SCOPED_TRACE(std::string(coding.name) + ", " + std::to_string(length) + " samples");
            const std::vector<std::int16_t> samples = noise(length, static_cast<std::uint32_t>(length));
            const Made whole = makeRecord(samples, coding.settings, [] { return std::size_t{1} << 30; });
            std::mt19937 random(7);
            const Made pieces = makeRecord(samples, coding.settings, [&] { return std::size_t{random() % 900 + 1}; });
            EXPECT_EQ(pieces.bytes, whole.bytes);
            EXPECT_EQ(pieces.decoded, whole.decoded);

            EXPECT_EQ(whole.summary.samples, length);
            EXPECT_EQ(whole.decoded.size(), length);
            EXPECT_EQ(whole.summary.digest, digestSamples(sampleDigestStart, whole.decoded.data(), length));
            EXPECT_EQ(whole.bytes.size(), recordPreambleSize + whole.summary.soundBytes);
            EXPECT_LE(whole.bytes.size(), recordFileBound(length, coding.settings));
            EXPECT_EQ(check(whole.bytes, whole.summary), "");
        }
    }
}

TEST(RecordEncoder, TheReadBackFindsAnyDamage) {
    for (const std::uint32_t codec : {codecALaw, codecAdpcm}) {
        SCOPED_TRACE(codec);
        const RecordSettings settings{codec, {}, {}};
        const Made made = makeRecord(noise(3000, 1), settings, [] { return std::size_t{3000}; });
        const std::size_t declared = recordSoundHeaderPosition;
        const std::size_t soundBytes = recordSoundHeaderPosition + 16;
        const struct {
            const char* name;
            std::function<void(Bytes&)> damage;
        } damages[] = {
            {"a code changed", [](Bytes& b) { b[b.size() / 2] ^= 0x10; }},
            {"the last byte lost", [](Bytes& b) { b.pop_back(); }},
            {"a byte more", [](Bytes& b) { b.push_back(0); }},
            {"another declared count",
             [&](Bytes& b) { storeLe32(b.data() + declared, loadLe32(b.data() + declared) + 1); }},
            {"another byte count",
             [&](Bytes& b) { storeLe32(b.data() + soundBytes, loadLe32(b.data() + soundBytes) - 1); }},
            {"not a Record file", [](Bytes& b) { b[0] ^= 1; }},
        };
        for (const auto& d : damages) {
            Bytes bytes = made.bytes;
            d.damage(bytes);
            EXPECT_NE(check(bytes, made.summary), "") << d.name;
        }
    }
}
