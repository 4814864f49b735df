// SPDX-License-Identifier: MIT
// The Record file writer against the reader: what it writes is accepted, and
// reads back as written.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>
#include "test_files.hpp"

using namespace recwav;

TEST(RecordFileWriter, WritesWhatTheReaderAcceptsAndReadsBack) {
    const struct {
        std::uint32_t codec;
        std::uint32_t count;
        std::uint32_t soundBytes;
        SoundHeaderFields fields;
    } cases[] = {
        {codecALaw, 0, 0, {}},
        {codecALaw, 3, 3, {0xFFFF, 0xFF, 0xFFFFFFFF}},
        {codecAdpcm, 0x12345678, 0x0A0B0C0D, {1, 2, 3}},
        {codecAdpcm, maxDeclaredCount, 0xFFFFFFFF, {0x8001, 0x80, 0x80000001}},
    };
    for (const auto& c : cases) {
        const auto preamble = recordFilePreamble(c.codec, c.count, c.soundBytes, c.fields);
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

        // What the device's own files hold where the reader does not look:
        // the sound's byte count, and the application's identity and name.
        EXPECT_EQ(loadLe32(preamble.data() + recordSoundHeaderPosition + 16), c.soundBytes);
        const std::string identity(preamble.begin() + recordIdentityPosition,
                                   preamble.begin() + recordIdentityPosition + 15);
        EXPECT_EQ(identity, std::string("\x7E\x00\x00\x10\x2A"
                                        "RECORD.APP",
                                        15));
    }
}
