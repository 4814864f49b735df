// SPDX-License-Identifier: MIT
// Runs the built program as a user would and checks what it prints, its exit
// status and which files exist afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_files.hpp"

namespace fs = std::filesystem;
using fixture::Bytes;
using fixture::RecordFile;

namespace {

// Runs recwav in `dir` with `argv0` as its name and `args` after it.
ProgramRun runProgram(const TempDir& dir, const std::string& argv0, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(dir, RECWAV_EXE, argv);
}

ProgramRun runProgram(const TempDir& dir, const std::vector<std::string>& args) {
    return runProgram(dir, RECWAV_EXE, args);
}

std::vector<std::string> filesIn(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes wav(std::uint32_t declared, const std::vector<std::int16_t>& samples) {
    Bytes bytes = {'R', 'I', 'F', 'F'};
    recwav::appendLe32(bytes, 2 * declared + 36);
    for (const char c : std::string("WAVEfmt ")) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    for (const std::uint32_t word : {16U, 0x00010001U, 8000U, 16000U, 0x00100002U}) {
        recwav::appendLe32(bytes, word);
    }
    bytes.insert(bytes.end(), {'d', 'a', 't', 'a'});
    recwav::appendLe32(bytes, 2 * declared);
    for (const std::int16_t sample : samples) {
        recwav::appendLe16(bytes, static_cast<std::uint16_t>(sample));
    }
    return bytes;
}

Bytes recording(const Bytes& codes) {
    RecordFile file;
    file.sampleCount = static_cast<std::uint32_t>(codes.size());
    file.sound = codes;
    return fixture::buildRecordFile(file).bytes;
}

constexpr std::int32_t exitFailure = 255;  // -1 as an 8-bit exit status

}  // namespace

TEST(Command, PrintsUsageForAnyOtherNumberOfArguments) {
    const std::vector<std::vector<std::string>> argumentLists = {{}, {"in.rec"}, {"in.rec", "out.wav", "extra"}};
    for (const std::string& name : {std::string(RECWAV_EXE), std::string("psion-convert")}) {
        for (const auto& args : argumentLists) {
            TempDir dir;
            const ProgramRun run = runProgram(dir, name, args);
            std::string usage = name;
            usage += "\n\nConverts Psion 5 Record files to WAV files.\n\nUSAGE ";
            usage += name;
            usage += " infile outfile\nComments to The recwav maintainers <recwav@example.org>\n";
            EXPECT_EQ(run.out, usage);
            EXPECT_EQ(run.status, 0);
            EXPECT_TRUE(filesIn(dir).empty()) << args.size() << " arguments";
        }
    }
}

TEST(Command, ConvertsAnALawRecording) {
    TempDir dir;
    writeFile(dir / "in.rec", recording({0x00, 0x80, 0x55, 0xD5, 0x2A, 0xAA, 0x7F, 0xFF}));
    writeFile(dir / "out.wav", Bytes(500, 0xEE));  // an existing file is replaced whole

    const ProgramRun run = runProgram(dir, {"in.rec", "out.wav"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir / "out.wav"), wav(8, {5504, -5504, 8, -8, 32256, -32256, 848, -848}));
}

TEST(Command, ConvertsAnAdpcmRecording) {
    // A sawtooth in an odd block longer than one batch, then a shorter block.
    std::vector<std::int16_t> signal;
    signal.reserve(9001);
    for (int i = 0; i < 9001; ++i) {
        signal.push_back(static_cast<std::int16_t>(i * 37 % 20000 - 10000));
    }
    RecordFile file;
    file.sampleCount = static_cast<std::uint32_t>(signal.size());
    file.codec = fixture::codecAdpcm;
    std::vector<std::int16_t> expected;
    for (const auto& [start, end] : {std::pair{0, 4001}, std::pair{4001, 9001}}) {
        const std::vector<std::uint8_t> codes =
            fixture::encodeAdpcmCodes(std::vector<std::int16_t>(signal.begin() + start, signal.begin() + end));
        const Bytes block = fixture::adpcmBlock(codes);
        file.sound.insert(file.sound.end(), block.begin(), block.end());
        const std::vector<std::int16_t> samples = fixture::decodeAdpcmCodes(codes);
        expected.insert(expected.end(), samples.begin(), samples.end());
    }
    TempDir dir;
    writeFile(dir / "in.rec", fixture::buildRecordFile(file).bytes);

    const ProgramRun run = runProgram(dir, {"in.rec", "out.wav"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir / "out.wav"), wav(file.sampleCount, expected));
}

TEST(Command, WritesTheDeclaredSizesWhateverTheSoundHolds) {
    const struct {
        const char* name;
        std::uint32_t declared;
        std::size_t soundBytes;
        bool tableAfterSound;
        std::size_t samples;  // expected in the output
    } cases[] = {
        {"empty sound", 0, 0, false, 0},
        {"fewer than declared", 100, 10, false, 10},
        {"more than declared", 2, 10, false, 10},
        {"two whole batches", 8000, 8000, false, 8000},
        {"past a batch", 10000, 10000, false, 10000},
        {"table behind the sound", 10, 10, true, 10 + 1 + 2 * 8},
    };
    for (const auto& c : cases) {
        RecordFile file;
        file.sampleCount = c.declared;
        file.sound = Bytes(c.soundBytes, 0x55);
        file.tableAfterSound = c.tableAfterSound;
        const Bytes input = fixture::buildRecordFile(file).bytes;
        TempDir dir;
        writeFile(dir / "in.rec", input);

        const ProgramRun run = runProgram(dir, {"in.rec", "out.wav"});
        EXPECT_EQ(run.status, 0) << c.name;
        const Bytes output = readFile(dir / "out.wav");
        ASSERT_EQ(output.size(), 44 + 2 * c.samples) << c.name;
        EXPECT_EQ(Bytes(output.begin(), output.begin() + 44), wav(c.declared, {})) << c.name;
        // Every byte behind the sound header comes out as a sample, the table's too.
        const std::size_t firstCode = input.size() - c.samples;
        for (std::size_t i = 0; i < c.samples; ++i) {
            const auto sample = static_cast<std::int16_t>(recwav::loadLe16(&output[44 + 2 * i]));
            ASSERT_EQ(fixture::encodeALaw(sample), input[firstCode + i]) << c.name << ", sample " << i;
        }
    }
}

struct FailureCase {
    std::string name;
    std::function<void(const TempDir&)> setUp;
    std::vector<std::string> args;
    std::string message;
    // Every file in the folder afterwards, with its content where it matters.
    std::vector<std::pair<std::string, std::optional<Bytes>>> after;
};

void PrintTo(const FailureCase& failure, std::ostream* out) {
    *out << failure.name;
}

class CommandFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(CommandFailure, ReportsAndKeepsTheUsersFiles) {
    const FailureCase& c = GetParam();
    if (std::find(c.args.begin(), c.args.end(), "/dev/full") != c.args.end() && !fs::exists("/dev/full")) {
        GTEST_SKIP() << "this system has no /dev/full";
    }
    TempDir dir;
    c.setUp(dir);
    const ProgramRun run = runProgram(dir, c.args);
    EXPECT_EQ(run.out, c.message);
    EXPECT_EQ(run.status, exitFailure);
    std::vector<std::string> expectedNames;
    for (const auto& [name, content] : c.after) {
        expectedNames.push_back(name);
        if (content) {
            EXPECT_EQ(readFile(dir / name), *content) << name;
        }
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(filesIn(dir), expectedNames);
}

namespace {

const Bytes goodInput = recording({0x10, 0x20, 0x30});
const Bytes notARecording = {'h', 'e', 'l', 'l', 'o', '\n'};
const Bytes keptOutput = {'k', 'e', 'e', 'p'};

Bytes refusedCount() {
    RecordFile file;
    file.sampleCount = 0xFFFFFFFF;
    file.sound = {1, 2, 3};
    return fixture::buildRecordFile(file).bytes;
}

constexpr int tableField = -1;
constexpr int identityEntry = 0;
constexpr int soundEntry = 1;

// The good input with one position moved: the table's, or that of a table entry.
Bytes withPosition(int field, std::uint32_t position) {
    RecordFile file;
    file.sound = {0x10, 0x20, 0x30};
    file.sampleCount = 3;
    fixture::BuiltRecordFile built = fixture::buildRecordFile(file);
    fixture::setLe32(built.bytes, field == tableField ? 16 : built.entryPositionOffset(field), position);
    return built.bytes;
}

auto withInput(const Bytes& input) {
    return [input](const TempDir& dir) { writeFile(dir / "in.rec", input); };
}

const FailureCase failureCases[] = {
    {"MissingInput",
     [](const TempDir&) {},
     {"missing.rec", "out.wav"},
     "Error: could not open input file missing.rec\n",
     {}},
    {"InputIsAFolder",
     [](const TempDir& d) { fs::create_directory(d / "folder.rec"); },
     {"folder.rec", "out.wav"},
     "Error: could not open input file folder.rec\n",
     {{"folder.rec", std::nullopt}}},
    {"NotARecordFile",
     withInput(notARecording),
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", notARecording}}},
    {"DeclaredCountOfAllOnes",
     withInput(refusedCount()),
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", refusedCount()}}},
    {"RefusedInputLeavesAnExistingOutput",
     [](const TempDir& d) {
         writeFile(d / "in.rec", notARecording);
         writeFile(d / "out.wav", keptOutput);
     },
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", notARecording}, {"out.wav", keptOutput}}},
    {"OutputInAMissingFolder",
     withInput(goodInput),
     {"in.rec", "nowhere/out.wav"},
     "Error: could not open output file nowhere/out.wav\n",
     {{"in.rec", goodInput}}},
    {"OutputIsAFolder",
     [](const TempDir& d) {
         writeFile(d / "in.rec", goodInput);
         fs::create_directory(d / "out.wav");
     },
     {"in.rec", "out.wav"},
     "Error: could not open output file out.wav\n",
     {{"in.rec", goodInput}, {"out.wav", std::nullopt}}},
    {"OutputIsTheInput",
     withInput(goodInput),
     {"in.rec", "in.rec"},
     "Error: could not open output file in.rec\n",
     {{"in.rec", goodInput}}},
    {"RefusedInputNamedAsItsOwnOutput",
     withInput(notARecording),
     {"in.rec", "in.rec"},
     "Error: input file is not correct format\n",
     {{"in.rec", notARecording}}},
    {"OutputIsTheInputByAnotherPath",
     withInput(goodInput),
     {"in.rec", "./in.rec"},
     "Error: could not open output file ./in.rec\n",
     {{"in.rec", goodInput}}},
    {"OutputIsAHardLinkToTheInput",
     [](const TempDir& d) {
         writeFile(d / "in.rec", goodInput);
         fs::create_hard_link(d / "in.rec", d / "link.wav");
     },
     {"in.rec", "link.wav"},
     "Error: could not open output file link.wav\n",
     {{"in.rec", goodInput}, {"link.wav", goodInput}}},
    {"OutputIsASymbolicLinkToTheInput",
     [](const TempDir& d) {
         writeFile(d / "in.rec", goodInput);
         fs::create_symlink("in.rec", d / "link.wav");
     },
     {"in.rec", "link.wav"},
     "Error: could not open output file link.wav\n",
     {{"in.rec", goodInput}, {"link.wav", goodInput}}},
    {"TableBeyondTheEnd",
     withInput(withPosition(tableField, 0xFFFFFFFF)),
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", withPosition(tableField, 0xFFFFFFFF)}}},
    {"TableAtTheEnd",
     withInput(withPosition(tableField, static_cast<std::uint32_t>(goodInput.size()))),
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", withPosition(tableField, static_cast<std::uint32_t>(goodInput.size()))}}},
    {"IdentityStreamBeyondTheEnd",
     withInput(withPosition(identityEntry, 0x80000000)),
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", withPosition(identityEntry, 0x80000000)}}},
    {"SoundHeaderBeyondTheEnd",
     withInput(withPosition(soundEntry, 0xFFFFFFFF)),
     {"in.rec", "out.wav"},
     "Error: input file is not correct format\n",
     {{"in.rec", withPosition(soundEntry, 0xFFFFFFFF)}}},
    {"OutputDeviceIsFull",
     withInput(goodInput),
     {"in.rec", "/dev/full"},
     "Error: could not write output file /dev/full\n",
     {{"in.rec", goodInput}}},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Cases, CommandFailure, testing::ValuesIn(failureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(Command, RefusesAnInputThatCannotSeek) {
    TempDir dir;
    writeFile(dir / "in.rec", goodInput);
    ASSERT_EQ(mkfifo((dir / "pipe.rec").c_str(), 0600), 0);
    // Another process feeds the pipe, as a shell's process substitution would.
    const std::string feed = "cat in.rec > pipe.rec";
    char* writerArgv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(feed.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    pid_t writer = 0;
    ASSERT_EQ(posix_spawn(&writer, "/bin/sh", &actions, nullptr, writerArgv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    const ProgramRun run = runProgram(dir, {"pipe.rec", "out.wav"});
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(run.out, "Error: input file is not correct format\n");
    EXPECT_EQ(run.status, exitFailure);
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"in.rec", "pipe.rec"}));
}

TEST(Command, RefusesEveryCutBeforeTheSoundAndConvertsTheRest) {
    for (const bool tableAfterSound : {false, true}) {
        for (const std::uint32_t codec : {fixture::codecALaw, fixture::codecAdpcm}) {
            RecordFile file;
            file.codec = codec;
            file.sampleCount = 2;
            file.sound = codec == fixture::codecALaw ? Bytes{0x10, 0x20} : fixture::adpcmBlock({0x7, 0xF});
            file.tableAfterSound = tableAfterSound;
            const fixture::BuiltRecordFile built = fixture::buildRecordFile(file);
            // Every byte the reader needs lies before the sound, or in the table behind it.
            const std::size_t needed = tableAfterSound ? built.bytes.size() : built.soundPosition;
            for (std::size_t cut = 0; cut <= needed; ++cut) {
                const std::string label = "codec " + std::to_string(codec) + (tableAfterSound ? ", table behind" : "") +
                                          ", cut at " + std::to_string(cut);
                TempDir dir;
                const Bytes input(built.bytes.begin(), built.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
                writeFile(dir / "in.rec", input);
                const ProgramRun run = runProgram(dir, {"in.rec", "out.wav"});
                if (cut < needed) {
                    EXPECT_EQ(run.out, "Error: input file is not correct format\n") << label;
                    EXPECT_EQ(run.status, exitFailure) << label;
                    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"in.rec"}) << label;
                } else {
                    // Converted: cut just before the sound, the output is the header alone.
                    EXPECT_EQ(run.out, "") << label;
                    EXPECT_EQ(run.status, 0) << label;
                    const Bytes output = readFile(dir / "out.wav");
                    ASSERT_GE(output.size(), 44U) << label;
                    EXPECT_EQ(Bytes(output.begin(), output.begin() + 44), wav(2, {})) << label;
                    if (!tableAfterSound) {
                        EXPECT_EQ(output.size(), 44U) << label;
                    }
                }
                EXPECT_EQ(readFile(dir / "in.rec"), input) << label;
            }
        }
    }
}

// A failing card or disk, played by strace: one read of the input fails with
// EIO once the sound is being decoded.
TEST(Command, ReportsAReadErrorWhileDecodingAndKeepsThePartialOutput) {
    TempDir dir;
    if (runCommand(dir, "strace", {"strace", "-o", "/dev/null", "true"}).status != 0) {
        GTEST_SKIP() << "strace is missing, or cannot trace here";
    }
    // Long enough for several of the program's 64 KiB reads.
    Bytes codes(300000);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        codes[i] = static_cast<std::uint8_t>(i * 131 % 251);
    }
    const Bytes input = recording(codes);
    writeFile(dir / "in.rec", input);
    ASSERT_EQ(runProgram(dir, {"in.rec", "whole.wav"}).status, 0);
    const Bytes whole = readFile(dir / "whole.wav");

    // Count the reads of the input, the last of which finds its end, then fail
    // the one before: the last that brings sound.
    const std::string inputPath = (dir / "in.rec").string();
    // LeakSanitizer, in a sanitizer build, cannot run under ptrace.
    const std::string noLeakCheck = "ASAN_OPTIONS=detect_leaks=0";
    const ProgramRun traced = runCommand(dir, "strace",
                                         {"strace", "-E", noLeakCheck, "-o", "reads.log", "-e", "trace=read", "-P",
                                          inputPath, RECWAV_EXE, "in.rec", "traced.wav"});
    ASSERT_EQ(traced.status, 0);
    const Bytes logBytes = readFile(dir / "reads.log");
    const std::string log(logBytes.begin(), logBytes.end());
    std::size_t reads = 0;
    for (std::size_t at = log.find("read("); at != std::string::npos; at = log.find("read(", at + 1)) {
        ++reads;
    }
    ASSERT_GE(reads, 3U) << "the headers, some sound and the end";
    const std::string inject = "inject=read:error=EIO:when=" + std::to_string(reads - 1);
    const ProgramRun run = runCommand(dir, "strace",
                                      {"strace", "-E", noLeakCheck, "-f", "-o", "/dev/null", "-P", inputPath, "-e",
                                       inject, RECWAV_EXE, "in.rec", "out.wav"});

    EXPECT_EQ(run.out, "Error: could not read input file in.rec\n");
    EXPECT_EQ(run.status, exitFailure);
    // The samples before the failure stay, and are those of a whole conversion.
    const Bytes partial = readFile(dir / "out.wav");
    EXPECT_GT(partial.size(), 44U);
    EXPECT_LT(partial.size(), whole.size());
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), whole.begin()));
    EXPECT_EQ(readFile(dir / "in.rec"), input);
}
