#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "converter/converter.hpp"
#include "test_files.hpp"

using fixture::Bytes;

namespace {

Bytes headerFor(std::uint32_t sampleCount) {
    const FilePtr file(std::tmpfile());
    SoundStream stream;
    stream.sampleCount = sampleCount;
    writeWavHeader(file.get(), stream);
    Bytes bytes(64);
    std::rewind(file.get());
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
    return bytes;
}

std::uint32_t le32At(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes.at(offset) | bytes.at(offset + 1) << 8 | bytes.at(offset + 2) << 16 |
                                      static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24);
}

// A decoder that returns a scripted number of samples per call and records
// what it was asked for.
struct ScriptedDecoder {
    std::vector<std::uint32_t> script;
    std::vector<std::uint32_t> asked;
    std::vector<std::int16_t> produced;
};
ScriptedDecoder scripted;

std::uint32_t decodeScripted(std::uint32_t wanted, std::int16_t* buffer, SoundStream&) {
    const std::size_t call = scripted.asked.size();
    scripted.asked.push_back(wanted);
    const std::uint32_t count = call < scripted.script.size() ? scripted.script[call] : 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        // Both signs and both bytes vary, so byte order mistakes show.
        const std::uint32_t spread = (i * 2741U + static_cast<std::uint32_t>(call) * 97U) % 65536U;
        buffer[i] = static_cast<std::int16_t>(static_cast<std::int32_t>(spread) - 32768);
        scripted.produced.push_back(buffer[i]);
    }
    return count;
}

Bytes littleEndian(const std::vector<std::int16_t>& samples) {
    Bytes bytes;
    for (const std::int16_t sample : samples) {
        fixture::putLe16(bytes, static_cast<std::uint16_t>(sample));
    }
    return bytes;
}

}  // namespace

TEST(WriteWavHeader, WritesTheFortyFourBytesOfAMonoSixteenBitHeader) {
    const Bytes expected = {
        'R',  'I',  'F',  'F',  0x24, 0x7D, 0x00, 0x00, 'W',  'A',  'V',  'E',  'f',  'm',  't',
        ' ',  0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x80, 0x3E,
        0x00, 0x00, 0x02, 0x00, 0x10, 0x00, 'd',  'a',  't',  'a',  0x00, 0x7D, 0x00, 0x00,
    };
    EXPECT_EQ(headerFor(16000), expected);
}

TEST(WriteWavHeader, SizesFollowTheDeclaredCountAndWrap) {
    const struct {
        std::uint32_t sampleCount;
        std::uint32_t riffSize;
        std::uint32_t dataSize;
    } cases[] = {
        {0, 36, 0},
        {16000, 32036, 32000},
        {0x7FFFFFED, 0xFFFFFFFE, 0xFFFFFFDA},
        {0x7FFFFFEE, 0, 0xFFFFFFDC},
        {0x80000000, 36, 0},
        {0xFFFFFFFF, 34, 0xFFFFFFFE},
    };
    for (const auto& c : cases) {
        const Bytes header = headerFor(c.sampleCount);
        ASSERT_EQ(header.size(), 44U);
        EXPECT_EQ(le32At(header, 4), c.riffSize) << "count " << c.sampleCount;
        EXPECT_EQ(le32At(header, 40), c.dataSize) << "count " << c.sampleCount;
    }
}

TEST(ConvertSound, AsksForFullBatchesUntilAShortOne) {
    const struct {
        std::vector<std::uint32_t> script;
        std::size_t calls;
    } cases[] = {
        {{4000, 4000, 2000}, 3},
        {{4000, 4000, 0}, 3},  // a sound ending on a batch boundary takes one empty call more
        {{0}, 1},
        {{1}, 1},
        {{3999, 4000}, 1},
    };
    for (const auto& c : cases) {
        scripted = ScriptedDecoder{c.script, {}, {}};
        SoundStream stream;
        stream.decode = decodeScripted;
        const FilePtr output(std::tmpfile());
        std::vector<std::int16_t> buffer(samplesPerCall);

        EXPECT_TRUE(convertSound(stream, buffer.data(), output.get()));
        EXPECT_EQ(scripted.asked, std::vector<std::uint32_t>(c.calls, 4000));

        Bytes written(2 * scripted.produced.size() + 1);
        std::rewind(output.get());
        written.resize(std::fread(written.data(), 1, written.size(), output.get()));
        EXPECT_EQ(written, littleEndian(scripted.produced));
    }
}

TEST(ConvertSound, StopsAndReportsAFailedWrite) {
    TempDir dir;
    writeFile(dir / "readonly", {});
    const FilePtr output(std::fopen((dir / "readonly").c_str(), "rb"));  // writes to it fail
    ASSERT_TRUE(output);
    scripted = ScriptedDecoder{{4000, 4000, 4000}, {}, {}};
    SoundStream stream;
    stream.decode = decodeScripted;
    std::vector<std::int16_t> buffer(samplesPerCall);

    EXPECT_FALSE(convertSound(stream, buffer.data(), output.get()));
    EXPECT_EQ(scripted.asked.size(), 1U);
}

TEST(RunRecwav, UsesTheProgramsOwnNameWhenTheArgumentVectorHasNone) {
    const std::string usage =
        "recwav\n\nConverts Psion 5 Record files to WAV files.\n\nUSAGE recwav infile outfile\n"
        "Comments to The recwav maintainers <recwav@example.org>\n";
    char emptyName[] = "";
    char* noArguments[] = {nullptr};
    char* emptyArgument[] = {emptyName, nullptr};
    const struct {
        int argc;
        char** argv;
    } cases[] = {{0, noArguments}, {1, emptyArgument}};
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        const int status = runRecwav(c.argc, c.argv);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), usage) << "argc " << c.argc;
        EXPECT_EQ(status, 0);
    }
}
