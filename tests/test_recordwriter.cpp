// SPDX-License-Identifier: MIT
// The Record file writer against the reader: what it writes is accepted, and
// reads back as written.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include <recwav/decoders.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;

TEST(RecordFileWriter, WritesWhatTheReaderAcceptsAndReadsBack) {
    const struct {
        std::uint32_t codec;
        std::uint32_t count;
        SoundHeaderFields fields;
    } cases[] = {
        {codecALaw, 0, {}},
        {codecALaw, 3, {0xFFFF, 0xFF, 0xFFFFFFFF}},
        {codecAdpcm, 0x12345678, {1, 2, 3}},
        {codecAdpcm, maxDeclaredCount, {0x8001, 0x80, 0x80000001}},
    };
    for (const auto& c : cases) {
        const auto preamble = recordFilePreamble(c.codec, c.count, c.fields);
        fixture::Bytes bytes(preamble.begin(), preamble.end());
        bytes.push_back(0xA5);  // the first code
        const FilePtr file = openBytes(bytes);

        SoundStream stream;
        ASSERT_EQ(parseRecordFile(file.get(), stream), static_cast<std::int32_t>(c.count)) << c.count;
        EXPECT_EQ(stream.decode, c.codec == codecALaw ? &decodeALaw : &decodeAdpcm);
        EXPECT_EQ(stream.hdrShort, c.fields.repeats);
        EXPECT_EQ(stream.hdrByte, c.fields.volume);
        EXPECT_EQ(stream.hdrLong, c.fields.gap);
        EXPECT_EQ(std::fgetc(file.get()), 0xA5) << "the coded sound starts right behind the preamble";
    }
}

TEST(RecordFileWriter, PatchesTheDeclaredCountAndReturnsToTheEnd) {
    const auto preamble = recordFilePreamble(codecALaw, 0, {4, 5, 6});
    const FilePtr file = openBytes(fixture::Bytes(preamble.begin(), preamble.end()));
    ASSERT_EQ(std::fseek(file.get(), 0, SEEK_END), 0);
    ASSERT_EQ(std::fwrite("\x01\x02\x03", 1, 3, file.get()), 3U);

    ASSERT_TRUE(patchDeclaredCount(file.get(), 3));
    ASSERT_EQ(std::fwrite("\x04", 1, 1, file.get()), 1U);  // appended, not written over the header
    std::rewind(file.get());
    SoundStream stream;
    ASSERT_EQ(parseRecordFile(file.get(), stream), 3);
    EXPECT_EQ(stream.hdrShort, 4);
    std::int16_t samples[5];
    EXPECT_EQ(stream.decode(5, samples, stream), 4U);
    EXPECT_EQ(samples[3], aLawTable[4]);
}
