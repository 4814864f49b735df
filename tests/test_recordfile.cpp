// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include <recwav/decoders.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;

using fixture::BuiltRecordFile;
using fixture::Bytes;
using fixture::RecordFile;

namespace {

constexpr std::int32_t refused = -1;

struct ParseOutcome {
    std::int32_t result = refused;
    int nextByte = EOF;  // the byte read right after an acceptance
};

ParseOutcome parseBytes(const Bytes& bytes) {
    const FilePtr file = openBytes(bytes);
    SoundStream stream;
    ParseOutcome outcome;
    outcome.result = parseRecordFile(file.get(), stream);
    if (outcome.result != refused) {
        outcome.nextByte = std::fgetc(file.get());
    }
    return outcome;
}

RecordFile smallRecording() {
    RecordFile file;
    file.sampleCount = 3;
    file.sound = {0xA1, 0xB2, 0xC3};
    return file;
}

}  // namespace

TEST(ParseRecordFile, FillsTheStreamAndStopsAtTheCodedSound) {
    RecordFile recording = smallRecording();
    recording.hdrShort = 0x1234;
    recording.hdrByte = 0x56;
    recording.hdrLong = 0x89ABCDEF;
    const FilePtr file = openBytes(fixture::buildRecordFile(recording).bytes);

    SoundStream stream;
    ASSERT_EQ(parseRecordFile(file.get(), stream), 3);
    EXPECT_EQ(stream.sampleCount, 3U);
    EXPECT_EQ(stream.decode, &decodeALaw);
    EXPECT_EQ(stream.file, file.get());
    EXPECT_EQ(stream.hdrShort, 0x1234);
    EXPECT_EQ(stream.hdrByte, 0x56);
    EXPECT_EQ(stream.hdrLong, 0x89ABCDEFU);
    EXPECT_EQ(std::fgetc(file.get()), 0xA1);
}

TEST(ParseRecordFile, InstallsTheDecoderTheCodecWordNames) {
    const struct {
        std::uint32_t codec;
        DecodeFn decode;
    } cases[] = {{fixture::codecALaw, decodeALaw}, {fixture::codecAdpcm, decodeAdpcm}};
    for (const auto& c : cases) {
        RecordFile recording = smallRecording();
        recording.codec = c.codec;
        const FilePtr file = openBytes(fixture::buildRecordFile(recording).bytes);
        // Left over from some earlier use: the first ADPCM call must still read a block header.
        SoundStream stream;
        stream.blockSamples = 7;
        stream.blockPos = 3;
        stream.lowNibbleNext = true;

        ASSERT_EQ(parseRecordFile(file.get(), stream), 3) << "codec " << c.codec;
        EXPECT_EQ(stream.decode, c.decode) << "codec " << c.codec;
        if (c.codec == fixture::codecAdpcm) {
            EXPECT_EQ(stream.blockSamples, 0U);
            EXPECT_EQ(stream.blockPos, 0U);
            EXPECT_FALSE(stream.lowNibbleNext);
        }
    }
}

struct LayoutCase {
    std::string name;
    std::function<void(RecordFile&)> shape;
    std::function<void(BuiltRecordFile&)> patch;
    bool accepted;
};

void PrintTo(const LayoutCase& layout, std::ostream* out) {
    *out << layout.name;
}

class RecordFileLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(RecordFileLayout, IsAcceptedOrRefused) {
    const LayoutCase& layout = GetParam();
    RecordFile recording = smallRecording();
    if (layout.shape) {
        layout.shape(recording);
    }
    BuiltRecordFile built = fixture::buildRecordFile(recording);
    if (layout.patch) {
        layout.patch(built);
    }
    const ParseOutcome outcome = parseBytes(built.bytes);
    if (layout.accepted) {
        EXPECT_EQ(outcome.result, static_cast<std::int32_t>(recording.sampleCount));
        EXPECT_EQ(outcome.nextByte, 0xA1);
    } else {
        EXPECT_EQ(outcome.result, refused);
    }
}

namespace {

using fixture::identityUid;
using fixture::soundDataUid;

auto uids(const std::vector<std::uint32_t>& list) {
    return [list](RecordFile& file) { file.tableUids = list; };
}
auto entryPointsAt(std::size_t index, std::uint32_t position) {
    return [index, position](BuiltRecordFile& built) {
        fixture::setLe32(built.bytes, built.entryPositionOffset(index), position);
    };
}
auto tableAt(std::uint32_t position) {
    return [position](BuiltRecordFile& built) { fixture::setLe32(built.bytes, 16, position); };
}

const LayoutCase layoutCases[] = {
    {"IdentityThenSound", uids({identityUid, soundDataUid}), nullptr, true},
    {"SoundThenIdentity", uids({soundDataUid, identityUid}), nullptr, true},
    {"SoundEntryOnly", uids({soundDataUid}), nullptr, true},
    {"TableBehindTheSound", [](RecordFile& f) { f.tableAfterSound = true; }, nullptr, true},
    {"CountByteLowBitIgnored", [](RecordFile& f) { f.countLowBit = 1; }, nullptr, true},
    {"LaterSoundEntryReplacesEarlier", uids({soundDataUid, soundDataUid}), entryPointsAt(0, 0), true},
    {"LaterSoundEntryIsTheOneUsed", uids({soundDataUid, soundDataUid}), entryPointsAt(1, 0), false},
    {"UnknownUidAfterTheSoundEntry", uids({soundDataUid, identityUid, 0x10000053}), nullptr, false},
    {"UnknownUidFirst", uids({0x10000088, soundDataUid}), nullptr, false},
    {"IdentityStreamWithWrongWord", [](RecordFile& f) { f.identityFirstWord = 0x1000007F; }, nullptr, false},
    {"NoSoundEntry", uids({identityUid}), nullptr, false},
    {"EmptyTable", uids({}), nullptr, false},
    {"CodecAdpcm", [](RecordFile& f) { f.codec = fixture::codecAdpcm; }, nullptr, true},
    {"CodecOne", [](RecordFile& f) { f.codec = 1; }, nullptr, false},
    {"CodecNextToAdpcm", [](RecordFile& f) { f.codec = 0x100001A0; }, nullptr, false},
    {"TablePositionAtTheLimit", nullptr, tableAt(0xFFFFFFFF), false},
    {"TablePositionAbove2GiB", nullptr, tableAt(0x80000000), false},
    {"TablePositionAtTheEnd", nullptr,
     [](BuiltRecordFile& b) { fixture::setLe32(b.bytes, 16, static_cast<std::uint32_t>(b.bytes.size())); }, false},
    {"IdentityPositionAtTheLimit", nullptr, entryPointsAt(0, 0xFFFFFFFF), false},
    {"IdentityStreamCutShort", nullptr,
     [](BuiltRecordFile& b) {
         fixture::setLe32(b.bytes, b.entryPositionOffset(0), static_cast<std::uint32_t>(b.bytes.size() - 3));
     },
     false},
    {"SoundHeaderPositionAtTheLimit", nullptr, entryPointsAt(1, 0xFFFFFFFF), false},
    {"SoundHeaderEndsInItsSkippedBytes", nullptr,
     [](BuiltRecordFile& b) {
         fixture::setLe32(b.bytes, b.entryPositionOffset(1), static_cast<std::uint32_t>(b.bytes.size() - 19));
     },
     false},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Layouts, RecordFileLayout, testing::ValuesIn(layoutCases),
                         [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

TEST(ParseRecordFile, RefusesAnyChangedIdentificationByte) {
    const Bytes good = fixture::buildRecordFile(smallRecording()).bytes;
    const Bytes expected = {0x37, 0x00, 0x00, 0x10, 0x6D, 0x00, 0x00, 0x10,
                            0x7E, 0x00, 0x00, 0x10, 0xCF, 0xAC, 0x08, 0x55};
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), good.begin()));
    ASSERT_NE(parseBytes(good).result, refused);
    for (std::size_t offset = 0; offset < expected.size(); ++offset) {
        for (const std::uint8_t flip : {0x01, 0x80}) {
            Bytes changed = good;
            changed[offset] ^= flip;
            EXPECT_EQ(parseBytes(changed).result, refused) << "byte " << offset << " flipped by " << int{flip};
        }
    }
}

TEST(ParseRecordFile, ReturnsTheDeclaredCountAsASignedValue) {
    const struct {
        std::uint32_t declared;
        std::int32_t returned;
    } cases[] = {
        {0, 0},
        {16000, 16000},
        {0x7FFFFFFF, std::numeric_limits<std::int32_t>::max()},
        {0x80000000, std::numeric_limits<std::int32_t>::min()},
        {0xFFFFFFFE, -2},
        {0xFFFFFFFF, refused},  // reads as -1, so the file counts as refused
    };
    for (const auto& c : cases) {
        RecordFile recording = smallRecording();
        recording.sampleCount = c.declared;
        EXPECT_EQ(parseBytes(fixture::buildRecordFile(recording).bytes).result, c.returned)
            << "declared " << c.declared;
    }
}

TEST(ParseRecordFile, RefusesAFileCutShortAnywhereBeforeTheCodedSound) {
    for (const bool tableAfterSound : {false, true}) {
        RecordFile recording = smallRecording();
        recording.tableAfterSound = tableAfterSound;
        const BuiltRecordFile built = fixture::buildRecordFile(recording);
        // With the table behind the sound, every byte up to the end is needed.
        const std::size_t needed = tableAfterSound ? built.bytes.size() : built.soundPosition;
        for (std::size_t length = 0; length < needed; ++length) {
            const Bytes cut(built.bytes.begin(), built.bytes.begin() + static_cast<std::ptrdiff_t>(length));
            EXPECT_EQ(parseBytes(cut).result, refused) << "cut to " << length << " bytes";
        }
        const Bytes whole(built.bytes.begin(), built.bytes.begin() + static_cast<std::ptrdiff_t>(needed));
        EXPECT_EQ(parseBytes(whole).result, 3) << "cut to " << needed << " bytes";
    }
}

TEST(ParseRecordFile, RefusesAnInputThatCannotSeek) {
    // Read straight through, this file would pass: only its seeks fail.
    const Bytes bytes = fixture::buildRecordFile(smallRecording()).bytes;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    const FilePtr file(fdopen(ends[0], "rb"));
    ASSERT_TRUE(file);
    SoundStream stream;
    EXPECT_EQ(parseRecordFile(file.get(), stream), refused);
}

TEST(ParseRecordFile, ReachesPositionsAbove2GiB) {
    // A sparse file: the table at 3 GiB, the sound header just below 4 GiB.
    constexpr std::uint32_t tablePosition = 0xC0000000;
    constexpr std::uint32_t soundHeaderPosition = 0xFFFFFF00;
    RecordFile recording = smallRecording();
    recording.tableUids = {soundDataUid};
    const BuiltRecordFile built = fixture::buildRecordFile(recording);
    const Bytes start(built.bytes.begin(), built.bytes.begin() + 20);
    const Bytes table(built.bytes.begin() + built.tablePosition, built.bytes.begin() + built.soundHeaderPosition);
    const Bytes sound(built.bytes.begin() + built.soundHeaderPosition, built.bytes.end());

    const FilePtr file(std::tmpfile());
    ASSERT_TRUE(file);
    auto putAt = [&](std::uint64_t position, Bytes bytes) {
        return fseeko(file.get(), static_cast<off_t>(position), SEEK_SET) == 0 &&
               std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    };
    Bytes header = start;
    fixture::setLe32(header, 16, tablePosition);
    Bytes entries = table;
    fixture::setLe32(entries, 5, soundHeaderPosition);
    if (!putAt(0, header) || !putAt(tablePosition, entries) || !putAt(soundHeaderPosition, sound) ||
        std::fflush(file.get()) != 0) {
        GTEST_SKIP() << "the temporary folder cannot hold a sparse 4 GiB file";
    }
    std::rewind(file.get());

    SoundStream stream;
    ASSERT_EQ(parseRecordFile(file.get(), stream), 3);
    EXPECT_EQ(std::fgetc(file.get()), 0xA1);
}
