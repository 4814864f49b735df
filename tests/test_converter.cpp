// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <recwav/wav.hpp>

#include "converter/recwav.hpp"
#include "test_files.hpp"

using namespace recwav;

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
    return loadLe32(&bytes.at(offset + 3) - 3);
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
        recwav::appendLe16(bytes, static_cast<std::uint16_t>(sample));
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

TEST(WriteWavHeader, ReportsAFailedWrite) {
    TempDir dir;
    writeFile(dir / "readonly", {});
    const FilePtr readOnly(std::fopen((dir / "readonly").c_str(), "rb"));  // writes to it fail
    const FilePtr writable(std::tmpfile());
    ASSERT_TRUE(readOnly && writable);
    SoundStream stream;
    stream.sampleCount = 16000;
    EXPECT_EQ(writeWavHeader(readOnly.get(), stream), Status::writeFailed);
    EXPECT_EQ(writeWavHeader(writable.get(), stream), Status::ok);
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
    // At once, and in parts of one or two batches: the same calls and bytes.
    for (const std::uint32_t maxBatches : {allBatches, 1U, 2U}) {
        for (const auto& c : cases) {
            scripted = ScriptedDecoder{c.script, {}, {}};
            const FilePtr input(std::tmpfile());
            SoundStream stream;
            stream.decode = decodeScripted;
            stream.file = input.get();
            const FilePtr output(std::tmpfile());
            std::vector<std::int16_t> buffer(samplesPerCall);

            std::size_t parts = 1;
            Status result = Status::paused;
            while ((result = convertSound(stream, buffer.data(), output.get(), maxBatches)) == Status::paused) {
                EXPECT_EQ(scripted.asked.size(), parts * maxBatches);
                ++parts;
            }
            EXPECT_EQ(result, Status::ok);
            EXPECT_EQ(parts, maxBatches == allBatches ? 1 : (c.calls + maxBatches - 1) / maxBatches);
            EXPECT_EQ(scripted.asked, std::vector<std::uint32_t>(c.calls, 4000)) << "parts of " << maxBatches;

            Bytes written(2 * scripted.produced.size() + 1);
            std::rewind(output.get());
            written.resize(std::fread(written.data(), 1, written.size(), output.get()));
            EXPECT_EQ(written, littleEndian(scripted.produced));
        }
    }
}

TEST(ConvertSound, StopsAndReportsAFailedWrite) {
    TempDir dir;
    writeFile(dir / "readonly", {});
    const FilePtr output(std::fopen((dir / "readonly").c_str(), "rb"));  // writes to it fail
    ASSERT_TRUE(output);
    scripted = ScriptedDecoder{{4000, 4000, 4000}, {}, {}};
    const FilePtr input(std::tmpfile());
    SoundStream stream;
    stream.decode = decodeScripted;
    stream.file = input.get();
    std::vector<std::int16_t> buffer(samplesPerCall);

    EXPECT_EQ(convertSound(stream, buffer.data(), output.get()), Status::writeFailed);
    EXPECT_EQ(scripted.asked.size(), 1U);
}

namespace {

// An input whose reads fail, as a failing card or disk's do, once `failAt`
// bytes have been delivered; at `failAt` = the size it ends cleanly.
struct FailingSource {
    Bytes bytes;
    std::size_t failAt = 0;
    std::size_t at = 0;
};

FilePtr openFailing(FailingSource& source) {
    cookie_io_functions_t functions{};
    functions.read = [](void* cookie, char* into, std::size_t size) -> ssize_t {
        auto& s = *static_cast<FailingSource*>(cookie);
        if (s.at >= s.bytes.size()) {
            return 0;
        }
        if (s.at >= s.failAt) {
            errno = EIO;
            return -1;
        }
        const std::size_t n = std::min({size, s.failAt - s.at, s.bytes.size() - s.at});
        std::copy_n(s.bytes.begin() + static_cast<std::ptrdiff_t>(s.at), n, into);
        s.at += n;
        return static_cast<ssize_t>(n);
    };
    functions.seek = [](void* cookie, off64_t* offset, int whence) -> int {
        auto& s = *static_cast<FailingSource*>(cookie);
        const auto base = static_cast<off64_t>(whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.at : s.bytes.size());
        s.at = static_cast<std::size_t>(base + *offset);
        *offset = static_cast<off64_t>(s.at);
        return 0;
    };
    FilePtr file(fopencookie(&source, "rb", functions));
    std::setvbuf(file.get(), nullptr, _IONBF, 0);  // every read reaches the source
    return file;
}

}  // namespace

TEST(ConvertSound, ReportsAReadErrorApartFromTheEnd) {
    std::vector<std::int16_t> signal(10000);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        signal[i] = static_cast<std::int16_t>(i * 7919 % 20000 - 10000);
    }
    for (const std::uint32_t codec : {codecALaw, codecAdpcm}) {
        fixture::RecordFile file;
        file.codec = codec;
        file.sampleCount = static_cast<std::uint32_t>(signal.size());
        file.sound = codec == codecALaw ? fixture::encodeALaw(signal) : fixture::encodeAdpcm(signal, 800);
        const fixture::BuiltRecordFile built = fixture::buildRecordFile(file);
        // A clean end, then a failure a third of the way into the sound.
        for (const std::size_t failAt : {built.bytes.size(), built.soundPosition + file.sound.size() / 3}) {
            FailingSource source{built.bytes, failAt};
            const FilePtr input = openFailing(source);
            SoundStream stream;
            ASSERT_NE(parseRecordFile(input.get(), stream), -1) << "codec " << codec;
            const FilePtr output(std::tmpfile());
            std::vector<std::int16_t> buffer(samplesPerCall);
            const Status result = convertSound(stream, buffer.data(), output.get());
            const bool whole = failAt == built.bytes.size();
            EXPECT_EQ(result, whole ? Status::ok : Status::readFailed) << "codec " << codec;
            // What was read before the failure is written all the same.
            const long written = std::ftell(output.get());
            EXPECT_GT(written, 0) << "codec " << codec;
            EXPECT_EQ(written == static_cast<long>(2 * signal.size()), whole) << "codec " << codec;
        }
    }
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
