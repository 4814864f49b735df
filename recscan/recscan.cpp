// SPDX-License-Identifier: MIT
// The run of recscan, from the sources to the summary.
#include "recscan/recscan.hpp"
#include "recscan/options.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <recwav/platform.hpp>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifndef RECWAV_VERSION
#define RECWAV_VERSION "unknown"
#endif

namespace recwav::scan {

namespace {

constexpr const char* programName = "recscan";

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

int usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName, message.c_str(), programName);
    return exitUsage;
}

using FolderId = std::pair<dev_t, ino_t>;

// The folders from `path` up to the root, each as its device and inode.
std::vector<FolderId> foldersUp(std::filesystem::path path) {
    std::vector<FolderId> up;
    for (;;) {
        struct stat info {};
        if (stat(path.c_str(), &info) == 0) {
            up.emplace_back(info.st_dev, info.st_ino);
        }
        if (path == path.parent_path() || path.empty()) {
            return up;
        }
        path = path.parent_path();
    }
}

// True when one of the two folders is, or lies inside, the other, compared
// by device and inode: the same folder reached through a bind mount or a
// link is no other folder.
bool overlaps(const std::string& source, const std::string& output) {
    namespace fs = std::filesystem;
    std::error_code error;
    struct stat sourceInfo {};
    if (stat(source.c_str(), &sourceInfo) != 0 || !S_ISDIR(sourceInfo.st_mode)) {
        return false;
    }
    const auto within = [](const std::vector<FolderId>& up, const struct stat& folder) {
        return std::find(up.begin(), up.end(), FolderId{folder.st_dev, folder.st_ino}) != up.end();
    };
    if (within(foldersUp(fs::weakly_canonical(output, error)), sourceInfo)) {
        return true;
    }
    struct stat outputInfo {};
    return stat(output.c_str(), &outputInfo) == 0 && within(foldersUp(fs::canonical(source, error)), outputInfo);
}

// The walk of every source, the conversions and the summary; the exit status.
int scan(const CommandLine& line, const OutputFolder& folder) {
    std::array<std::uint64_t, 5> counts{};
    int reportError = 0;
    {
        Pipeline pipeline(line.settings, folder);
        Namer namer;
        std::uint64_t bytes = 0;
        for (const std::string& source : line.sources) {
            walkSource(source, line.settings, pipeline, namer, bytes);
        }
        pipeline.walkFinished(bytes);
        counts = pipeline.finish();
        reportError = pipeline.reportError();
    }
    const auto count = [&counts](Outcome outcome) { return counts[static_cast<int>(outcome)]; };
    std::fprintf(stderr, "%s: %s\n", programName, summaryLine(counts).c_str());
    // A report with lines missing is no proof that all went well.
    if (reportError != 0) {
        std::fprintf(stderr, "%s: could not write the report: %s\n", programName, std::strerror(reportError));
        return exitFailure;
    }
    return count(Outcome::refused) + count(Outcome::failed) == 0 ? exitSuccess : exitFailure;
}

}  // namespace

int runRecscan(int argc, char* argv[]) {
    CommandLine line;
    const std::string wrong = parseCommandLine(argc, argv, line);
    if (!wrong.empty()) {
        return usageError(wrong);
    }
    if (line.help) {
        printHelp();
        return exitSuccess;
    }
    if (line.version) {
        std::printf("recscan (recwav) %s\n", RECWAV_VERSION);
        return exitSuccess;
    }
    // Nothing under a source is ever written, and no output is read back as a source.
    for (const std::string& source : line.sources) {
        if (overlaps(source, line.output)) {
            return usageError("OUTDIR '" + line.output + "' and SOURCE '" + source +
                              "' overlap: nothing under a source is written");
        }
    }
    // OUTDIR itself is made, not the folders above it: a mistyped path
    // should fail, not leave folders in odd places.
    if (mkdir(line.output.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "%s: cannot create '%s': %s\n", programName, line.output.c_str(), std::strerror(errno));
        return exitFailure;
    }
    OutputFolder folder{open(line.output.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), line.output};
    if (folder.fd < 0) {
        std::fprintf(stderr, "%s: cannot open '%s': %s\n", programName, line.output.c_str(), std::strerror(errno));
        return exitFailure;
    }
    // Archive entries' names in the user's own character set.
    std::setlocale(LC_CTYPE, "");
    watchSignals();

    const int status = scan(line, folder);
    close(folder.fd);
    return status;
}

}  // namespace recwav::scan
