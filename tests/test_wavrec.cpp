// SPDX-License-Identifier: MIT
// wavrec: what it writes converts back to exactly the samples the encoder
// meant; its audio input keeps samples untouched where it can and durations
// where it resamples; the built program's refusals.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>
#include <recwav/recordfile.hpp>

#include <recwav/wav.hpp>

#include "converter/recwav.hpp"
#include "test_files.hpp"
#include "wavrec/output.hpp"
#include "wavrec/wavrec.hpp"

using namespace recwav;
namespace fs = std::filesystem;
using fixture::Bytes;

namespace {

using Samples = std::vector<std::int16_t>;

// Speech-like enough: a wandering tone with noise and a quiet stretch.
Samples testSignal(std::size_t count) {
    Samples samples(count);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 1664525 + 1013904223;
        const double tone =
            12000 * std::sin(0.002 * static_cast<double>(i * i % 100000) + 0.07 * static_cast<double>(i));
        const double noise = static_cast<double>(seed >> 20) - 2048;
        samples[i] = static_cast<std::int16_t>(i % 3000 < 500 ? noise / 64 : tone + noise);
    }
    return samples;
}

// Writes a sound file through libsndfile: interleaved frames of `channels`.
template <typename T>
void writeSound(const fs::path& path, int rate, int channels, int format, const std::vector<T>& frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* sound = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    const auto count = static_cast<sf_count_t>(frames.size() / static_cast<std::size_t>(channels));
    if constexpr (std::is_same_v<T, float>) {
        // Floats beyond full scale are kept, not clamped on the way in.
        sf_command(sound, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        EXPECT_EQ(sf_writef_float(sound, frames.data(), count), count);
    } else {
        EXPECT_EQ(sf_writef_short(sound, frames.data(), count), count);
    }
    sf_close(sound);
}

struct ReadBack {
    Samples samples;
    std::uint64_t clipped = 0;
    std::uint64_t nonFinite = 0;
    std::size_t held = 0;  // the most samples the input ever held between reads
};

// All that an input gives, read in an odd chunk size.
ReadBack readAll(const fs::path& path) {
    OpenFailure failure;
    const std::unique_ptr<AudioInput> input = openAudioInput(path.c_str(), failure);
    ReadBack all;
    Samples chunk(999);
    for (std::size_t got = 0; input && (got = readAudio(*input, chunk.data(), chunk.size())) > 0;) {
        all.samples.insert(all.samples.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    EXPECT_TRUE(input && input->error.empty()) << failure.cause;
    all.clipped = input ? input->clipped : 0;
    all.nonFinite = input ? input->nonFinite : 0;
    all.held = input ? samplesHeld(*input) : 0;
    return all;
}

struct Written {
    RecordingResult result;
    Samples decoded;  // what the encoder meant
};

Written wavrecFile(const fs::path& in, const fs::path& out, const RecordSettings& settings, unsigned jobs = 1) {
    Written written;
    OpenFailure failure;
    const std::unique_ptr<AudioInput> input = openAudioInput(in.c_str(), failure);
    EXPECT_TRUE(input) << failure.cause;
    const FilePtr output(std::fopen(out.c_str(), "wb"));
    if (input && output) {
        written.result = writeRecording(*input, settings, output.get(), &written.decoded, jobs);
    }
    return written;
}

// recwav's own conversion of a Record file: the samples behind the 44-byte header.
Samples recwavSamples(const fs::path& rec, const fs::path& wav) {
    std::string in = rec.string();
    std::string out = wav.string();
    char program[] = "recwav";
    char* argv[] = {program, in.data(), out.data(), nullptr};
    EXPECT_EQ(runRecwav(3, argv), 0);
    const Bytes bytes = readFile(wav);
    Samples samples;
    for (std::size_t at = 44; at + 1 < bytes.size(); at += 2) {
        samples.push_back(static_cast<std::int16_t>(loadLe16(bytes.data() + at)));
    }
    return samples;
}

// The coded sound of a Record file, behind its sound header.
Bytes codedSound(const fs::path& rec) {
    const FilePtr file(std::fopen(rec.c_str(), "rb"));
    SoundStream stream;
    EXPECT_NE(parseRecordFile(file.get(), stream), -1) << rec;
    Bytes bytes;
    for (int c = 0; (c = std::fgetc(file.get())) != EOF;) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return bytes;
}

// The sample counts of the ADPCM blocks of a Record file.
std::vector<std::uint32_t> adpcmBlockSizes(const fs::path& rec) {
    const FilePtr file(std::fopen(rec.c_str(), "rb"));
    SoundStream stream;
    EXPECT_NE(parseRecordFile(file.get(), stream), -1) << rec;
    std::vector<std::uint32_t> sizes;
    for (CompactCount count; (count = readCompactCount(file.get())).complete;) {
        sizes.push_back(count.value);
        readCompactCount(file.get());
        std::fseek(file.get(), 4 + (count.value + 1) / 2, SEEK_CUR);
    }
    return sizes;
}

}  // namespace

TEST(Wavrec, EveryFileConvertsToTheSamplesTheEncoderMeant) {
    const struct {
        const char* name;
        std::uint32_t codec;
        AdpcmSettings adpcm;
    } codings[] = {
        {"alaw", codecALaw, {}},
        {"adpcm", codecAdpcm, {}},
        {"adpcm fixed 7", codecAdpcm, {7, true}},
        {"adpcm max 1", codecAdpcm, {1, false}},
        {"adpcm best", codecAdpcm, {800, false, AdpcmSearch::best}},
    };
    for (const auto& coding : codings) {
        for (const std::size_t length : {0, 1, 2, 7, 3999, 4000, 4001, 9001}) {
            SCOPED_TRACE(std::string(coding.name) + ", " + std::to_string(length) + " samples");
            TempDir dir;
            const Samples signal = testSignal(length);
            writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, signal);
            RecordSettings settings;
            settings.codec = coding.codec;
            settings.adpcm = coding.adpcm;
            const Written written = wavrecFile(dir / "in.wav", dir / "out.rec", settings);
            ASSERT_EQ(written.result.failure, RecordingResult::Failure::none) << written.result.cause;
            EXPECT_EQ(written.result.summary.samples, length);
            ASSERT_EQ(written.decoded.size(), length);

            EXPECT_EQ(recwavSamples(dir / "out.rec", dir / "out.wav"), written.decoded);
            EXPECT_EQ(fs::file_size(dir / "out.wav"), 44 + 2 * length) << "the declared count";
            if (coding.codec == codecALaw) {
                // An 8000 Hz mono input reaches the encoder untouched.
                Bytes expected(length);
                encodeALawSamples(signal.data(), length, expected.data());
                EXPECT_EQ(codedSound(dir / "out.rec"), expected);
                continue;
            }
            const std::vector<std::uint32_t> blocks = adpcmBlockSizes(dir / "out.rec");
            std::uint64_t total = 0;
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                EXPECT_LE(blocks[i], coding.adpcm.maxBlock);
                if (coding.adpcm.fixedBlocks && i + 1 < blocks.size()) {
                    EXPECT_EQ(blocks[i], coding.adpcm.maxBlock);
                }
                total += blocks[i];
            }
            EXPECT_EQ(total, length);
        }
    }
}

// ADPCM coded on threads, a span of blocks each, gives one file whatever the
// number of threads, and the one the encoder gives on its own.
TEST(Wavrec, TheSameBytesForEveryNumberOfJobs) {
    const struct {
        const char* name;
        AdpcmSettings adpcm;
        std::size_t length;  // many spans, the last of any length
    } cases[] = {
        {"standard", {}, 60001},          {"max 1600", {1600, false}, 50000},
        {"max 801", {801, false}, 50003}, {"fixed 800", {800, true}, 40000},
        {"max 1", {1, false}, 33000},     {"best", {800, false, AdpcmSearch::best}, 17000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const Samples signal = testSignal(c.length);
        writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, signal);
        RecordSettings settings;
        settings.codec = codecAdpcm;
        settings.adpcm = c.adpcm;
        RecordEncoder encoder;
        encoder.settings = settings;
        Bytes alone;
        std::array<std::uint8_t, recordPreambleSize> settled{};
        ASSERT_EQ(encodeRecord(encoder, signal.data(), signal.size(), alone), Status::ok);
        ASSERT_EQ(finishRecord(encoder, alone, settled), Status::ok);
        std::copy(settled.begin(), settled.end(), alone.begin());
        for (const unsigned jobs : {1U, 2U, 5U}) {
            const Written written = wavrecFile(dir / "in.wav", dir / "out.rec", settings, jobs);
            ASSERT_EQ(written.result.failure, RecordingResult::Failure::none) << written.result.cause;
            EXPECT_EQ(readFile(dir / "out.rec"), alone) << jobs << " jobs";
            EXPECT_EQ(written.result.summary.digest, encoder.summary.digest) << jobs << " jobs";
            EXPECT_EQ(written.decoded.size(), c.length) << jobs << " jobs";
        }
    }
}

TEST(Wavrec, ALawThroughRecwavAndBackGivesTheSameCodes) {
    const fs::path example = fs::path(EXAMPLES_DIR) / "tune-alaw.rec";
    TempDir dir;
    recwavSamples(example, dir / "tune.wav");
    // Through the WAV recwav made, and straight from the Record file.
    for (const fs::path& input : {dir / "tune.wav", example}) {
        const Written written = wavrecFile(input, dir / "again.rec", {});
        ASSERT_EQ(written.result.failure, RecordingResult::Failure::none) << written.result.cause;
        EXPECT_EQ(codedSound(dir / "again.rec"), codedSound(example)) << input;
    }
}

TEST(AudioInput, MixesAndResamplesKeepingTheDuration) {
    const double pi = std::acos(-1.0);
    const struct {
        const char* name;
        int rate;
        int channels;
        int format;
        std::size_t frames;
        std::function<float(std::size_t frame, int channel)> signal;
        double rms;  // expected of the output, after the filter's first and last few ms
        bool clips;
        std::uint64_t nonFinite = 0;
    } cases[] = {
        {"48 kHz stereo", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 59259,
         [&](std::size_t i, int) {
             return static_cast<float>(0.5 * std::sin(2 * pi * 440 * static_cast<double>(i) / 48000));
         },
         0.5 / std::sqrt(2.0) * 32768, false},
        {"8 kHz stereo, channels opposed", 8000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4001,
         [](std::size_t i, int channel) { return (channel == 0 ? 1.0F : -1.0F) * static_cast<float>(i % 200) / 400; },
         0, false},
        {"16 kHz beyond full scale", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000,
         [](std::size_t, int) { return 1.5F; }, 32767, true},
        {"8 kHz mono float beyond full scale", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 800,
         [](std::size_t i, int) { return i % 2 == 0 ? 1.5F : -2.0F; }, 32767.5, true},
        // Each becomes silence or full scale before the resampler could
        // spread it over many samples.
        {"16 kHz float, not numbers and infinities", 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000,
         [&](std::size_t i, int) {
             constexpr float inf = std::numeric_limits<float>::infinity();
             return i == 3000 || i == 5000 ? std::nanf("")
                    : i == 9000            ? inf
                    : i == 12000           ? -inf
                                 : static_cast<float>(0.25 * std::sin(2 * pi * 300 * static_cast<double>(i) / 16000));
         },
         0.25 / std::sqrt(2.0) * 32768, false, 4},
        // 8000 samples a frame, yet no more of them held at once than at any rate.
        {"1 Hz", 1, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 60, [](std::size_t, int) { return 0.25F; }, 0.25 * 32768,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<float> frames;
        for (std::size_t i = 0; i < c.frames; ++i) {
            for (int channel = 0; channel < c.channels; ++channel) {
                frames.push_back(c.signal(i, channel));
            }
        }
        writeSound(dir / "in.wav", c.rate, c.channels, c.format, frames);
        const ReadBack back = readAll(dir / "in.wav");
        const Samples& out = back.samples;

        const double expectedLength = static_cast<double>(c.frames) * 8000 / c.rate;
        EXPECT_LE(std::abs(static_cast<double>(out.size()) - expectedLength), 8) << "within a millisecond";
        const std::size_t edge = std::min<std::size_t>(out.size() / 4, 80);
        double sum = 0;
        for (std::size_t i = edge; i < out.size() - edge; ++i) {
            sum += static_cast<double>(out[i]) * out[i];
        }
        const double rms = std::sqrt(sum / static_cast<double>(out.size() - 2 * edge));
        EXPECT_NEAR(rms, c.rms, 0.02 * c.rms + 0.5);
        EXPECT_EQ(back.clipped > 0, c.clips) << back.clipped;
        EXPECT_EQ(back.nonFinite, c.nonFinite);
        EXPECT_LE(back.held, 16384U) << "samples held at once";
    }
}

// 16-bit samples are mixed as the same floats libsndfile makes of them, to the
// last bit: the same sound stored as 16-bit samples and as floats reads the same.
TEST(AudioInput, SixteenBitSamplesReadAsTheirFloats) {
    const struct {
        int rate;
        int channels;
    } cases[] = {{44100, 2}, {8000, 3}, {22050, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        TempDir dir;
        std::vector<std::int16_t> pcm;
        std::uint32_t seed = 12345;
        for (std::size_t i = 0; i < 20000U * static_cast<std::size_t>(c.channels); ++i) {
            seed = seed * 1664525U + 1013904223U;
            const std::int32_t extreme = i % 2 == 0 ? -32768 : 32767;
            pcm.push_back(
                static_cast<std::int16_t>(i % 7 == 0 ? extreme : static_cast<std::int32_t>(seed >> 16U) - 32768));
        }
        std::vector<float> floats(pcm.begin(), pcm.end());
        for (float& value : floats) {
            value /= 32768;
        }
        writeSound(dir / "pcm.wav", c.rate, c.channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, pcm);
        writeSound(dir / "float.wav", c.rate, c.channels, SF_FORMAT_WAV | SF_FORMAT_FLOAT, floats);
        const ReadBack fromPcm = readAll(dir / "pcm.wav");
        EXPECT_GT(fromPcm.samples.size(), 1000U);
        EXPECT_EQ(fromPcm.samples, readAll(dir / "float.wav").samples);
    }
}

namespace {

ProgramRun runWavrecProgram(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {WAVREC_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(dir, WAVREC_EXE, argv);
}

std::vector<std::string> filesIn(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        names.push_back(entry.path().lexically_relative(dir.path()).string());  // links as they are
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(WavrecCommand, SettlesTheHeaderFields) {
    TempDir dir;
    writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(10));
    writeFile(dir / "three.wve", fixture::series3Sound(Bytes(10, 0xD5), 32, 3));  // 1 s of silence, 3 plays
    writeFile(dir / "once.wve", fixture::series3Sound(Bytes(10, 0xD5), 0, 0));
    // libsndfile's own Series 3 sound, then the same with its header's
    // silence and plays set by hand, big-endian: half a second, two plays.
    writeSound(dir / "sndfile.wve", 8000, 1, SF_FORMAT_WVE | SF_FORMAT_ALAW, testSignal(10));
    Bytes twice = readFile(dir / "sndfile.wve");
    ASSERT_EQ(twice.size(), recwav::series3SoundHeaderSize + 10);
    const std::uint8_t fields[] = {0x00, 0x10, 0x00, 0x02};
    std::copy(std::begin(fields), std::end(fields), twice.begin() + recwav::series3SilenceOffset);
    writeFile(dir / "twice.wve", twice);
    fixture::RecordFile device;
    device.hdrShort = 0x0302;
    device.hdrByte = 0x04;
    device.hdrLong = 0x0A0B0C0D;
    writeFile(dir / "device.rec", fixture::buildRecordFile(device).bytes);

    const struct {
        std::vector<std::string> options;
        const char* input;
        SoundHeaderFields expected;
    } cases[] = {
        {{}, "in.wav", {0, 3, 0}},
        {{"--header-from", "device.rec"}, "in.wav", {0x0302, 0x04, 0x0A0B0C0D}},
        {{"--volume", "1", "--header-from", "device.rec"}, "in.wav", {0x0302, 1, 0x0A0B0C0D}},  // a named option wins
        {{"--repeats", "65535", "--volume", "5", "--gap", "4294967295"}, "in.wav", {0xFFFF, 5, 0xFFFFFFFF}},
        // A Series 3 sound's plays and trailing silence carry over, unless options say otherwise.
        {{}, "three.wve", {2, 3, 1000000}},
        {{}, "once.wve", {0, 3, 0}},
        {{"--repeats", "0"}, "three.wve", {0, 3, 1000000}},
        {{"--header-from", "device.rec"}, "three.wve", {0x0302, 0x04, 0x0A0B0C0D}},
        {{}, "sndfile.wve", {0, 3, 0}},
        {{}, "twice.wve", {1, 3, 500000}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {c.input, "out.rec"});
        const ProgramRun run = runWavrecProgram(dir, args);
        ASSERT_EQ(run.status, 0) << run.err;
        const FilePtr file(std::fopen((dir / "out.rec").c_str(), "rb"));
        SoundStream stream;
        ASSERT_EQ(parseRecordFile(file.get(), stream), 10);
        EXPECT_EQ(stream.hdrShort, c.expected.repeats) << c.input;
        EXPECT_EQ(stream.hdrByte, c.expected.volume) << c.input;
        EXPECT_EQ(stream.hdrLong, c.expected.gap) << c.input;
    }
}

TEST(Wavrec, ASeries3SoundKeepsEverySample) {
    TempDir dir;
    Bytes codes(256);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        codes[i] = static_cast<std::uint8_t>(i * 37);
    }
    writeFile(dir / "alarm.wve", fixture::series3Sound(codes, 0, 1));
    SF_INFO info{};
    SNDFILE* sound = sf_open((dir / "alarm.wve").c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    Samples expected(codes.size() + 1);
    expected.resize(static_cast<std::size_t>(sf_read_short(sound, expected.data(), 257)));
    sf_close(sound);
    ASSERT_EQ(expected.size(), codes.size());

    const Written written = wavrecFile(dir / "alarm.wve", dir / "alarm.rec", {});
    ASSERT_EQ(written.result.failure, RecordingResult::Failure::none) << written.result.cause;
    EXPECT_EQ(recwavSamples(dir / "alarm.rec", dir / "alarm.wav"), expected) << "A-law to A-law loses nothing";
}

TEST(WavrecCommand, ExitsAndReportsAsDocumented) {
    const auto wav = [](const TempDir& dir) {
        writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(100));
    };
    const auto epoc = [](const TempDir& dir) {
        fixture::RecordFile other;
        other.codec = 7;  // a Psion file, but no coding we know
        writeFile(dir / "in.wav", fixture::buildRecordFile(other).bytes);
    };
    const struct {
        const char* name;
        std::function<void(const TempDir&)> setup;
        std::vector<std::string> args;
        int status;
        std::string message;  // on standard error, or on standard output for --help and --version
        bool outputWritten;
    } cases[] = {
        {"converts", wav, {"-c", "adpcm", "in.wav", "out.rec"}, 0, "", true},
        {"clamps and says so",
         [](const TempDir& dir) {
             writeSound(dir / "in.wav", 11025, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, std::vector<float>(500, 3.0F));
         },
         {"in.wav", "out.rec"},
         0,
         "wavrec: 'in.wav': ",
         true},
        {"help", nullptr, {"--help"}, 0, "Usage: wavrec [OPTIONS] INPUT OUTPUT.rec", false},
        {"version", nullptr, {"--version"}, 0, "wavrec (recwav) ", false},
        {"missing input",
         nullptr,
         {"in.wav", "out.rec"},
         1,
         "wavrec: cannot open 'in.wav': No such file or directory\n",
         false},
        {"output is the input",
         wav,
         {"in.wav", "in.wav"},
         1,
         "wavrec: will not write over 'in.wav', which it reads\n",
         false},
        {"not a sound file",
         [](const TempDir& dir) { writeFile(dir / "in.wav", Bytes(300, 'x')); },
         {"in.wav", "out.rec"},
         1,
         "wavrec: cannot read 'in.wav': not a sound file wavrec can read",
         false},
        {"an input pipe, refused at once rather than waited on",
         [](const TempDir& dir) { mkfifo((dir / "in.wav").c_str(), 0600); },
         {"in.wav", "out.rec"},
         1,
         "wavrec: cannot read 'in.wav': not a regular file",
         false},
        {"too long for a Record file, refused before writing",
         [](const TempDir& dir) {
             // At 1 Hz, 600000 frames make 4.8e9 samples at 8000 Hz.
             writeSound(dir / "in.wav", 1, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, Samples(600000));
         },
         {"in.wav", "out.rec"},
         1,
         "wavrec: cannot convert 'in.wav': too long for a Record file",
         false},
        {"a sample rate of 0",
         [&](const TempDir& dir) {
             wav(dir);
             Bytes bytes = readFile(dir / "in.wav");
             fixture::setLe32(bytes, 24, 0);
             writeFile(dir / "in.wav", bytes);
         },
         {"in.wav", "out.rec"},
         1,
         "wavrec: cannot read 'in.wav': its header is damaged or declares a format libsndfile cannot read "
         "(libsndfile: ",
         false},
        {"an empty output name", wav, {"in.wav", ""}, 2, "wavrec: OUTPUT.rec is an empty name\n", false},
        {"arguments swapped: an existing sound as the output",
         [&](const TempDir& dir) {
             wav(dir);
             fs::copy_file(fs::path(EXAMPLES_DIR) / "tune-alaw.rec", dir / "in.rec");
             fs::copy_file(dir / "in.wav", dir / "song.wav");
         },
         {"in.rec", "song.wav"},
         1,
         "wavrec: will not replace 'song.wav', which is not a Record file (were INPUT and OUTPUT.rec swapped? "
         "--force replaces it)\n",
         false},
        {"a Psion file we cannot read",
         epoc,
         {"in.wav", "out.rec"},
         1,
         "wavrec: cannot read 'in.wav': a Psion file, but not a Record file wavrec can read\n",
         false},
        {"no output folder",
         wav,
         {"in.wav", "none/out.rec"},
         1,
         "wavrec: cannot create 'none/out.rec': No such file or directory\n",
         false},
        {"unknown option", wav, {"--loud", "in.wav", "out.rec"}, 2, "wavrec: unknown option '--loud'\n", false},
        {"bad coding", wav, {"-c", "mp3", "in.wav", "out.rec"}, 2, "invalid value 'mp3' for --coding", false},
        {"volume 0", wav, {"--volume", "0", "in.wav", "out.rec"}, 2, "for --volume: expected 1 (lowest) to 5", false},
        {"volume 6", wav, {"--volume", "6", "in.wav", "out.rec"}, 2, "for --volume: expected 1 (lowest) to 5", false},
        {"one path", wav, {"in.wav"}, 2, "wavrec: expected INPUT and OUTPUT.rec\n", false},
        {"a value for --help", wav, {"--help=x"}, 2, "wavrec: option '--help' takes no value\n", false},
        {"a value for --version", wav, {"--version=1"}, 2, "wavrec: option '--version' takes no value\n", false},
        {"a value for --fixed-blocks",
         wav,
         {"-c", "adpcm", "--fixed-blocks=x", "in.wav", "out.rec"},
         2,
         "wavrec: option '--fixed-blocks' takes no value\n",
         false},
        {"no value for --max-block", wav, {"--max-block"}, 2, "wavrec: option '--max-block' needs a value\n", false},
        {"--max-block with A-law",
         wav,
         {"--max-block", "100", "in.wav", "out.rec"},
         2,
         "wavrec: --max-block applies to ADPCM only (-c adpcm)\n",
         false},
        {"--best with A-law",
         wav,
         {"-c", "alaw", "--best", "in.wav", "out.rec"},
         2,
         "wavrec: --best applies to ADPCM only (-c adpcm)\n",
         false},
        {"several inputs, and no folder after them",
         wav,
         {"in.wav", "in.wav", "out.rec"},
         1,
         "wavrec: 'out.rec' is not a folder: several inputs go into a folder\n",
         false},
        {"--fixed-blocks with A-law",
         wav,
         {"--fixed-blocks", "-c", "alaw", "in.wav", "out.rec"},
         2,
         "wavrec: --fixed-blocks applies to ADPCM only (-c adpcm)\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.setup) {
            c.setup(dir);
        }
        std::vector<std::string> before = filesIn(dir);
        const Bytes input = fs::is_regular_file(dir / "in.wav") ? readFile(dir / "in.wav") : Bytes{};
        const ProgramRun run = runWavrecProgram(dir, c.args);
        EXPECT_EQ(run.status, c.status);
        const std::string& shown = c.status == 0 && !c.outputWritten ? run.out : run.err;
        if (c.message.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(shown.find(c.message), std::string::npos) << shown;
        }
        if (c.status == 2) {
            EXPECT_NE(run.err.find("Try 'wavrec --help'"), std::string::npos);
        }
        if (c.outputWritten) {
            before.emplace_back("out.rec");
            std::sort(before.begin(), before.end());
        }
        // Nothing else appears, no temporary file stays, and the input is as it was.
        EXPECT_EQ(filesIn(dir), before);
        if (!input.empty()) {
            EXPECT_EQ(readFile(dir / "in.wav"), input);
        }
    }
}

TEST(WavrecCommand, WritesOnlyRegularFilesAndKeepsLinks) {
    // Only inside the test's own folder: never a device, pipe or link of the system.
    const struct {
        const char* name;
        std::function<bool(const TempDir&)> setup;  // false: cannot be made here
        int status;
        std::string message;
        fs::file_type kept;     // what out.rec still is afterwards
        const char* writtenTo;  // the file that holds the Record file, or null
    } cases[] = {
        {"a pipe", [](const TempDir& dir) { return mkfifo((dir / "out.rec").c_str(), 0600) == 0; }, 1,
         "wavrec: cannot write 'out.rec': not a regular file (a Record file cannot stream to a device or pipe)\n",
         fs::file_type::fifo, nullptr},
        {"a character device, as /dev/null is",
         [](const TempDir& dir) { return mknod((dir / "out.rec").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; }, 1,
         "wavrec: cannot write 'out.rec': not a regular file (a Record file cannot stream to a device or pipe)\n",
         fs::file_type::character, nullptr},
        {"a link to a pipe",
         [](const TempDir& dir) {
             return mkfifo((dir / "pipe").c_str(), 0600) == 0 && symlink("pipe", (dir / "out.rec").c_str()) == 0;
         },
         1, "wavrec: cannot write 'out.rec': not a regular file (a Record file cannot stream to a device or pipe)\n",
         fs::file_type::symlink, nullptr},
        // As cp does: the input goes into it.
        {"a folder", [](const TempDir& dir) { return fs::create_directory(dir / "out.rec"); }, 0, "",
         fs::file_type::directory, "out.rec/in.rec"},
        {"a link to a file in another folder, through a linked folder",
         [](const TempDir& dir) {
             fs::create_directory(dir / "real");
             writeFile(dir / "real/old.rec", fixture::buildRecordFile({}).bytes);
             return symlink("real", (dir / "folder").c_str()) == 0 &&
                    symlink("folder/old.rec", (dir / "out.rec").c_str()) == 0;
         },
         0, "", fs::file_type::symlink, "real/old.rec"},
        {"a link to no file yet",
         [](const TempDir& dir) {
             fs::create_directory(dir / "real");
             return symlink("real/new.rec", (dir / "out.rec").c_str()) == 0;
         },
         0, "", fs::file_type::symlink, "real/new.rec"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(100));
        if (!c.setup(dir)) {
            std::printf("skipped '%s': cannot be made here (%s)\n", c.name, std::strerror(errno));
            continue;
        }
        std::vector<std::string> before = filesIn(dir);
        if (c.writtenTo != nullptr && !fs::exists(dir / c.writtenTo)) {
            before.emplace_back(c.writtenTo);
            std::sort(before.begin(), before.end());
        }
        const ProgramRun run = runWavrecProgram(dir, {"in.wav", "out.rec"});
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.message);
        EXPECT_EQ(fs::symlink_status(dir / "out.rec").type(), c.kept);
        EXPECT_EQ(filesIn(dir), before) << "no temporary file stays, in either folder";
        if (c.writtenTo != nullptr) {
            const FilePtr file(std::fopen((dir / c.writtenTo).c_str(), "rb"));
            SoundStream stream;
            EXPECT_EQ(parseRecordFile(file.get(), stream), 100);
        }
    }
}

namespace {

std::string textOf(const fs::path& path) {
    const Bytes bytes = readFile(path);
    return {bytes.begin(), bytes.end()};
}

// A shell script run in `dir`, with $WAVREC naming the program.
ProgramRun runScript(const TempDir& dir, const std::string& script) {
    return runCommand(dir, "/bin/sh", {"/bin/sh", "-c", "WAVREC='" WAVREC_EXE "'; " + script});
}

}  // namespace

// A failing card or disk, played by strace: whichever read of the input
// fails, in its header or in its sound, the run fails with the cause and the
// old output stays as it was.
TEST(WavrecCommand, AnyFailedReadOfTheInputFailsTheRun) {
    TempDir dir;
    if (runCommand(dir, "strace", {"strace", "-o", "/dev/null", "true"}).status != 0) {
        GTEST_SKIP() << "strace is missing, or cannot trace here";
    }
    writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(30000));
    writeFile(dir / "in.wve", fixture::series3Sound(Bytes(30000, 0x55), 0, 0));
    fs::copy_file(fs::path(EXAMPLES_DIR) / "tune-adpcm.rec", dir / "in.rec");
    const std::string noLeakCheck = "ASAN_OPTIONS=detect_leaks=0";  // LeakSanitizer cannot run under ptrace
    for (const char* input : {"in.wav", "in.wve", "in.rec"}) {
        SCOPED_TRACE(input);
        const std::string path = (dir / input).string();
        const ProgramRun traced = runCommand(dir, "strace",
                                             {"strace", "-f", "-E", noLeakCheck, "-o", "reads.log", "-e",
                                              "trace=read,pread64", "-P", path, WAVREC_EXE, input, "whole.rec"});
        ASSERT_EQ(traced.status, 0) << traced.err;
        // strace counts the calls of each thread (the input is read on a
        // thread of its own) and of each system call apart, and fails the
        // nth of every one.
        std::istringstream log(textOf(dir / "reads.log"));
        std::map<std::string, std::size_t> callsOf;
        std::size_t reads = 0;
        for (std::string line; std::getline(log, line);) {
            if (line.find("read") != std::string::npos && line.find("resumed") == std::string::npos) {
                reads = std::max(reads, ++callsOf[line.substr(0, line.find('('))]);
            }
        }
        ASSERT_GE(reads, 3U);
        for (std::size_t failing = 1; failing <= reads; ++failing) {
            writeFile(dir / "out.rec", Bytes{'O', 'L', 'D'});
            const std::string inject = "inject=read,pread64:error=EIO:when=" + std::to_string(failing);
            const ProgramRun run =
                runCommand(dir, "strace",
                           {"strace", "-f", "-E", noLeakCheck, "-o", "/dev/null", "-P", path, "-e",
                            "trace=read,pread64", "-e", inject, WAVREC_EXE, "--force", input, "out.rec"});
            EXPECT_EQ(run.status, 1) << "read " << failing;
            EXPECT_EQ(run.err, "wavrec: cannot read '" + std::string(input) + "': Input/output error\n")
                << "read " << failing;
            EXPECT_EQ(textOf(dir / "out.rec"), "OLD") << "read " << failing;
        }
        fs::remove(dir / "whole.rec");
        fs::remove(dir / "reads.log");
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"in.rec", "in.wav", "in.wve", "out.rec"}));
}

// Whatever ends the process while the output is being written removes the
// temporary file first; a signal it was started ignoring stays ignored, and
// a file past the size limit fails to write rather than end the process.
TEST(WavrecOutput, NoSignalLeavesTheTemporaryFile) {
    constexpr int survived = 42;
    const struct {
        int signal;
        bool ignored;  // on entry, as under nohup
    } cases[] = {
        {SIGHUP, false},  {SIGINT, false},   {SIGQUIT, false}, {SIGTERM, false},   {SIGPIPE, false},
        {SIGUSR1, false}, {SIGUSR2, false},  {SIGALRM, false}, {SIGVTALRM, false}, {SIGPROF, false},
        {SIGXCPU, false}, {SIGRTMIN, false}, {SIGHUP, true},   {SIGXFSZ, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.ignored ? ", ignored" : ""));
        TempDir dir;
        const std::string path = (dir / "out.rec").string();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (c.ignored) {
                std::signal(c.signal, SIG_IGN);
            }
            std::string message;
            std::FILE* file = openOutput(path.c_str(), false, message);
            if (file == nullptr) {
                _exit(1);
            }
            if (c.signal == SIGXFSZ) {
                const rlimit limit = {1000, 1000};
                setrlimit(RLIMIT_FSIZE, &limit);
                const std::vector<char> bytes(4096, 'x');
                const bool failed =
                    std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fflush(file) != 0;
                const int cause = errno;
                discardOutput(file);
                _exit(failed && cause == EFBIG ? survived : 2);
            }
            std::raise(c.signal);
            discardOutput(file);
            _exit(survived);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (c.ignored || c.signal == SIGXFSZ) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == survived) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
        }
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{});
    }
}

// Any name the folder takes, and the replaced file's mode and owner kept.
TEST(WavrecCommand, ReplacesAnOutputAsItWas) {
    const bool root = geteuid() == 0;
    const struct {
        std::size_t nameLength;
        mode_t mode;      // of the output before, 0 for none
        bool otherOwner;  // owned by nobody before (root only)
    } cases[] = {
        {7, 0600, false}, {7, 0640, false}, {7, 04755, root}, {7, 0600, root}, {242, 0, false}, {255, 0600, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nameLength) + " bytes, mode " + std::to_string(c.mode));
        TempDir dir;
        writeSound(dir / "in.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(100));
        const std::string name = std::string(c.nameLength - 4, 'n') + ".rec";
        struct stat before {};
        if (c.mode != 0) {
            writeFile(dir / name, Bytes{'O', 'L', 'D'});
            ASSERT_EQ(chmod((dir / name).c_str(), c.mode), 0);
            if (c.otherOwner) {
                ASSERT_EQ(chown((dir / name).c_str(), 65534, 65534), 0);
            }
            ASSERT_EQ(stat((dir / name).c_str(), &before), 0);
        }
        const ProgramRun run = runWavrecProgram(dir, {"--force", "in.wav", name});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"in.wav", name}));
        struct stat after {};
        ASSERT_EQ(stat((dir / name).c_str(), &after), 0);
        if (c.mode != 0) {
            EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_gid, before.st_gid);
        }
        EXPECT_NE(textOf(dir / name), "OLD");
    }
}

// Refusals that only a shell can set up, each naming the file and a cause.
TEST(WavrecCommand, NamesTheFileAndTheCause) {
    const bool root = geteuid() == 0;
    // As root, permissions do not bind: the folder's test runs as nobody.
    const std::string asUser = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const struct {
        const char* name;
        std::string script;
        int status;
        std::string message;
    } cases[] = {
        {"standard output as a pipe",
         R"({ "$WAVREC" in.wav /dev/stdout; echo $? >status; } | cat >/dev/null; exit $(cat status))", 1,
         "wavrec: cannot write '/dev/stdout': not a regular file"},
        {"a descriptor's link to a deleted file",
         R"(exec 3>victim.bin; rm victim.bin; exec "$WAVREC" in.wav /proc/self/fd/3)", 1,
         "wavrec: cannot write '/proc/self/fd/3': the file it leads to has been deleted\n"},
        // Through /dev/stdout to a file the shell opened for appending: the
        // file would be replaced, not appended to.
        {"standard output as a file", R"(exec "$WAVREC" --force in.wav /dev/stdout >>out.rec)", 1,
         "wavrec: cannot write '/dev/stdout': it is the link of an open file descriptor"},
        {"a file past the size limit", R"(ulimit -f 1; exec "$WAVREC" --force in.wav out.rec)", 1,
         "wavrec: cannot write 'out.rec': File too large\n"},
        {"a folder it may not write in",
         "mkdir ro && chmod 0777 out.rec && mv out.rec ro/ && chmod 0555 ro && exec " + asUser +
             "\"$WAVREC\" --force in.wav ro/out.rec",
         1, "wavrec: cannot create a temporary file in '"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeSound(dir / "in.wav", 30000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(60000));
        fs::permissions(dir / "in.wav", fs::perms::all, fs::perm_options::add);
        fs::permissions(dir.path(), fs::perms::all, fs::perm_options::add);
        writeFile(dir / "out.rec", Bytes{'O', 'L', 'D'});
        const ProgramRun run = runScript(dir, c.script);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.substr(0, c.message.size()), c.message) << run.err;
        for (const fs::path& kept : {dir / "out.rec", dir / "ro/out.rec"}) {
            if (fs::exists(kept)) {
                EXPECT_EQ(textOf(kept), "OLD");
            }
        }
        for (const std::string& file : filesIn(dir)) {
            EXPECT_EQ(file.find("wavrec-"), std::string::npos) << file;
            EXPECT_EQ(file.find("victim"), std::string::npos) << file;
        }
        if (fs::exists(dir / "ro")) {
            fs::permissions(dir / "ro", fs::perms::owner_all, fs::perm_options::add);
        }
    }
}

// Into a folder, each input makes the very file a run of its own makes; a
// failure is reported and the others still written.
TEST(WavrecCommand, SeveralInputsGoIntoAFolderAsSingleRunsWriteThem) {
    TempDir dir;
    writeSound(dir / "a.wav", 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, testSignal(4001));
    writeSound(dir / "b.flac", 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, testSignal(8000));
    writeFile(dir / "c.wve", fixture::series3Sound(Bytes(3000, 0x55), 32, 2));
    fs::copy_file(fs::path(EXAMPLES_DIR) / "tune-adpcm.rec", dir / "d.rec");
    writeFile(dir / "junk.txt", Bytes(300, 'x'));
    fs::create_directory(dir / "other");
    fs::copy_file(dir / "a.wav", dir / "other/a.wav");
    const std::vector<std::string> all = {"a.wav", "missing.wav", "b.flac", "junk.txt", "c.wve", "d.rec"};
    const std::vector<std::string> failures = {"wavrec: cannot open 'missing.wav': No such file or directory",
                                               "wavrec: cannot read 'junk.txt': not a sound file wavrec can read"};
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::vector<std::string> single;  // the options of the single runs that make the same files
        std::vector<std::string> inputs;
        const char* folder;
        std::vector<std::string> made;  // in the folder, each from its input of that name
        std::vector<std::string> err;   // how each line on standard error starts
    } cases[] = {
        {"A-law, a trailing slash", {}, {}, all, "rings/", {"a", "b", "c", "d"}, failures},
        {"ADPCM",
         {"-c", "adpcm", "--fixed-blocks", "--volume", "5"},
         {"-c", "adpcm", "--fixed-blocks", "--volume", "5"},
         all,
         "rings",
         {"a", "b", "c", "d"},
         failures},
        {"one input, --best alone as ADPCM", {"--best"}, {"-c", "adpcm", "--best"}, {"a.wav"}, "rings", {"a"}, {}},
        {"two inputs of one name",
         {},
         {},
         {"a.wav", "other/a.wav"},
         "rings",
         {"a"},
         {"wavrec: will not replace 'rings/a.rec', just written from 'a.wav'"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir / "rings");
        fs::create_directory(dir / "rings");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), c.inputs.begin(), c.inputs.end());
        args.emplace_back(c.folder);
        const ProgramRun run = runWavrecProgram(dir, args);
        EXPECT_EQ(run.status, c.err.empty() ? 0 : 1);
        std::istringstream lines(run.err);
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            ASSERT_LT(count, c.err.size()) << run.err;
            EXPECT_EQ(line.substr(0, c.err[count].size()), c.err[count]);
        }
        EXPECT_EQ(count, c.err.size()) << run.err;
        std::vector<std::string> expected;
        for (const std::string& name : c.made) {
            const std::string input = name == "a" ? "a.wav" : name == "b" ? "b.flac" : name == "c" ? "c.wve" : "d.rec";
            std::vector<std::string> single = c.single;
            single.insert(single.end(), {input, "single.rec"});
            ASSERT_EQ(runWavrecProgram(dir, single).status, 0);
            EXPECT_EQ(readFile(dir / "rings" / (name + ".rec")), readFile(dir / "single.rec")) << input;
            expected.push_back(name + ".rec");
        }
        std::vector<std::string> written;
        for (const auto& entry : fs::directory_iterator(dir / "rings")) {
            written.push_back(entry.path().filename().string());
        }
        std::sort(written.begin(), written.end());
        EXPECT_EQ(written, expected) << "nothing else, and no temporary file";
    }
}
