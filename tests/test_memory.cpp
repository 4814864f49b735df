// SPDX-License-Identifier: MIT
// Peak memory of the built program must not grow with the recording. Slow
// (it writes 300 MB per coding), so CTest labels it `memory` for skipping.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_files.hpp"

namespace {

constexpr const char* timeCommand = "/usr/bin/time";

// Converts `input` and returns the program's peak resident memory in KiB, as
// GNU time reports it. Measured through time rather than by waiting here,
// because a child's peak starts from the memory of the process that spawned it.
long peakKiB(const std::filesystem::path& input, const std::filesystem::path& output) {
    const std::filesystem::path report = output.string() + ".peak";
    std::vector<std::string> args = {timeCommand,     "-f",       "%M",           "-o",
                                     report.string(), RECWAV_EXE, input.string(), output.string()};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, timeCommand, nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    const fixture::Bytes figure = readFile(report);
    return std::stol(std::string(figure.begin(), figure.end()));
}

}  // namespace

TEST(Memory, DoesNotGrowWithTheRecording) {
    if (!std::filesystem::exists(timeCommand)) {
        GTEST_SKIP() << "needs GNU time (Debian package time)";
    }
    constexpr std::size_t small = 1000;
    constexpr std::size_t large = 100'000'000;
    constexpr long allowedGrowthKiB = 1024;
    for (const std::uint32_t codec : {fixture::codecALaw, fixture::codecAdpcm}) {
        TempDir dir;
        writeFile(dir / "small.rec", fixture::longRecording(codec, small, 7));
        writeFile(dir / "large.rec", fixture::longRecording(codec, large, 7));
        const long smallKiB = peakKiB(dir / "small.rec", dir / "small.wav");
        const long largeKiB = peakKiB(dir / "large.rec", dir / "large.wav");
        ASSERT_GT(smallKiB, 0) << "codec " << codec;
        ASSERT_GT(largeKiB, 0) << "codec " << codec;
        // Proof that the large one was converted whole: two bytes a sample at least.
        EXPECT_GT(std::filesystem::file_size(dir / "large.wav"), large) << "codec " << codec;
        EXPECT_LE(largeKiB - smallKiB, allowedGrowthKiB) << "codec " << codec << ": " << smallKiB << " KiB for "
                                                         << small << " bytes, " << largeKiB << " KiB for " << large;
        std::printf("codec %u: peak %ld KiB for %zu bytes, %ld KiB for %zu bytes\n", codec, smallKiB, small, largeKiB,
                    large);
    }
}
