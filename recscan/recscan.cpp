// SPDX-License-Identifier: MIT
// recscan's command line, and the run from the sources to the summary.
#include "recscan/recscan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <recwav/commandline.hpp>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#ifndef RECWAV_VERSION
#define RECWAV_VERSION "unknown"
#endif

namespace recwav::scan {

namespace {

constexpr const char* programName = "recscan";

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

void printHelp() {
    std::printf(
        "Usage: recscan [OPTIONS] SOURCE... OUTDIR\n"
        "Converts every Psion 5 Record file, and every Series 3 sound, found in files,\n"
        "folders and archives to a 16-bit mono 8000 Hz WAV file under OUTDIR.\n"
        "\n"
        "SOURCE is a file, a folder (walked through) or an archive that libarchive\n"
        "reads (zip, tar, tar.gz, .bz2, .xz, 7z, ISO 9660, ...): files are told apart\n"
        "by their contents, not their names. Each WAV goes to OUTDIR/PATH.wav, PATH\n"
        "being the file's path below its SOURCE; an archive's files go under a folder\n"
        "named after it.\n"
        "\n"
        "  -f, --force              replace WAV files that exist already\n"
        "      --json               report in JSON, one object a line, every file found\n"
        "  -j, --jobs N             conversions at a time, 1 to %u (default: one a core)\n"
        "      --max-entry-size SIZE\n"
        "                           report a file in an archive larger than SIZE rather\n"
        "                           than read it (default 256M)\n"
        "      --max-total-size SIZE\n"
        "                           stop reading an archive once its files add up to\n"
        "                           more than SIZE, archives inside it too (default 16G)\n"
        "      --archive-depth N    open archives inside archives down to N levels, the\n"
        "                           outermost counting 1 (default %u)\n"
        "  -h, --help               print this help and exit\n"
        "      --version            print the version and exit\n"
        "\n"
        "SIZE is a number of bytes, or of KiB, MiB, GiB or TiB with K, M, G or T.\n"
        "Exit status: 0 when every Record file found was converted, 1 when any was\n"
        "refused or failed, 2 on a usage error.\n",
        maxJobs, defaultArchiveDepth);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName, message.c_str(), programName);
    return exitUsage;
}

std::optional<std::uint64_t> parseSize(const char* text, bool suffixes) {
    if (*text < '0' || *text > '9') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    unsigned shift = 0;
    if (suffixes && *end != '\0' && end[1] == '\0') {
        const char* units = "KMGT";
        const char* unit = std::strchr(units, *end & ~0x20);
        if (unit != nullptr && *unit != '\0') {
            shift = 10 * static_cast<unsigned>(unit - units + 1);
            ++end;
        }
    }
    if (errno != 0 || *end != '\0' || value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value) << shift;
}

struct CommandLine {
    Settings settings;
    std::vector<std::string> sources;
    std::string output;
    bool help = false;
    bool version = false;
};

enum LongOnly { optJson = 256, optMaxEntry, optMaxTotal, optDepth, optVersion };

// Fills `line`; returns an empty string, or what was wrong.
std::string parseCommandLine(int argc, char* argv[], CommandLine& line) {
    static const option longOptions[] = {
        {"force", no_argument, nullptr, 'f'},
        {"json", no_argument, nullptr, optJson},
        {"jobs", required_argument, nullptr, 'j'},
        {"max-entry-size", required_argument, nullptr, optMaxEntry},
        {"max-total-size", required_argument, nullptr, optMaxTotal},
        {"archive-depth", required_argument, nullptr, optDepth},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optVersion},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    opterr = 0;
    for (;;) {
        const int at = std::max(optind, 1);
        const int choice = getopt_long(argc, argv, "+fj:h", longOptions, nullptr);
        if (choice == -1) {
            break;
        }
        const std::string invalid = std::string("invalid value '") + (optarg != nullptr ? optarg : "") + "' for ";
        std::optional<std::uint64_t> number;
        switch (choice) {
            case 'f':
                line.settings.force = true;
                break;
            case optJson:
                line.settings.json = true;
                break;
            case 'j':
                number = parseSize(optarg, false);
                if (!number || *number < 1 || *number > maxJobs) {
                    return invalid + "--jobs: expected 1 to " + std::to_string(maxJobs);
                }
                line.settings.jobs = static_cast<unsigned>(*number);
                break;
            case optMaxEntry:
            case optMaxTotal:
                number = parseSize(optarg, true);
                if (!number || *number == 0) {
                    return invalid + (choice == optMaxEntry ? "--max-entry-size" : "--max-total-size") +
                           ": expected a size such as 300M";
                }
                (choice == optMaxEntry ? line.settings.maxEntrySize : line.settings.maxTotalSize) = *number;
                break;
            case optDepth:
                number = parseSize(optarg, false);
                if (!number || *number < 1 || *number > 64) {
                    return invalid + "--archive-depth: expected 1 to 64";
                }
                line.settings.archiveDepth = static_cast<unsigned>(*number);
                break;
            case 'h':
                line.help = true;
                break;
            case optVersion:
                line.version = true;
                break;
            default:
                return optionError(argv[at], longOptions, "j");
        }
    }
    if (line.help || line.version) {
        return "";
    }
    if (argc - optind < 2) {
        return "expected SOURCE... and OUTDIR";
    }
    line.sources.assign(argv + optind, argv + argc - 1);
    line.output = argv[argc - 1];
    return "";
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
    close(folder.fd);
    const auto count = [&counts](Outcome outcome) {
        return static_cast<unsigned long long>(counts[static_cast<int>(outcome)]);
    };
    std::fprintf(stderr, "%s: %llu converted, %llu done before, %llu refused, %llu failed, %llu other files skipped\n",
                 programName, count(Outcome::converted), count(Outcome::done), count(Outcome::refused),
                 count(Outcome::failed), count(Outcome::skipped));
    // A report with lines missing is no proof that all went well.
    if (reportError != 0) {
        std::fprintf(stderr, "%s: could not write the report: %s\n", programName, std::strerror(reportError));
        return exitFailure;
    }
    return count(Outcome::refused) + count(Outcome::failed) == 0 ? exitSuccess : exitFailure;
}

}  // namespace recwav::scan
