// SPDX-License-Identifier: MIT
// recscan's command line, and the run from the sources to the summary.
#include "recscan/recscan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <recwav/commandline.hpp>

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
// Each file waiting for a worker holds its descriptor open: 8 a worker, well
// inside the usual limit of 1024.
constexpr unsigned maxJobs = 64;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

void printHelp() {
    std::printf(
        "Usage: recscan [OPTIONS] SOURCE... OUTDIR\n"
        "Converts every Psion 5 Record file, and every Series 3 sound, found in files,\n"
        "folders and archives to a 16-bit mono 8000 Hz WAV file under OUTDIR.\n"
        "\n"
        "SOURCE is a file, a folder (walked through), an archive that libarchive\n"
        "reads (zip, tar, tar.gz, .bz2, .xz, 7z, ISO 9660, ...) or a disk image that\n"
        "The Sleuth Kit reads (raw, E01, AFF, VHD, VMDK; MBR or GPT partitions; FAT and\n"
        "other file systems, deleted files too): files are told apart by their contents,\n"
        "not their names. Each WAV goes to OUTDIR/PATH.wav, PATH being the file's path\n"
        "below its SOURCE; an archive's or image's files go under a folder named after\n"
        "it. The voice notes inside an EPOC document (Word, Sheet, Agenda...) go to\n"
        "OUTDIR/PATH/Notes.wav, Notes~2.wav...\n"
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
        "      --carve              look inside every file and an image's free space\n"
        "                           for Record files and voice notes that no folder\n"
        "                           names any more, reported as PATH@OFFSET\n"
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

enum LongOnly { optJson = 256, optMaxEntry, optMaxTotal, optDepth, optVersion, optCarve };

// Fills `line`; returns an empty string, or what was wrong.
std::string parseCommandLine(int argc, char* argv[], CommandLine& line) {
    static const option longOptions[] = {
        {"force", no_argument, nullptr, 'f'},
        {"json", no_argument, nullptr, optJson},
        {"jobs", required_argument, nullptr, 'j'},
        {"max-entry-size", required_argument, nullptr, optMaxEntry},
        {"max-total-size", required_argument, nullptr, optMaxTotal},
        {"archive-depth", required_argument, nullptr, optDepth},
        {"carve", no_argument, nullptr, optCarve},
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
            case optCarve:
                line.settings.carve = true;
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

// True when one of the two folders is, or lies inside, the other.
bool overlaps(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto inside = [](const std::filesystem::path& inner, const std::filesystem::path& outer) {
        auto i = inner.begin();
        for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
            if (i == inner.end() || *i != *o) {
                return o->empty();  // a trailing separator
            }
        }
        return true;
    };
    return inside(a, b) || inside(b, a);
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
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path output = fs::weakly_canonical(line.output, error);
    for (const std::string& source : line.sources) {
        std::error_code ignored;
        if (fs::is_directory(source, ignored) && overlaps(fs::canonical(source, ignored), output)) {
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
    {
        Pipeline pipeline(line.settings, folder);
        Namer namer;
        std::uint64_t bytes = 0;
        for (const std::string& source : line.sources) {
            walkSource(source, line.settings, pipeline, namer, bytes);
        }
        pipeline.walkFinished(bytes);
        counts = pipeline.finish();
    }
    close(folder.fd);
    const auto count = [&counts](Outcome outcome) {
        return static_cast<unsigned long long>(counts[static_cast<int>(outcome)]);
    };
    std::fprintf(stderr, "%s: %llu converted, %llu done before, %llu refused, %llu failed, %llu other files skipped\n",
                 programName, count(Outcome::converted), count(Outcome::done), count(Outcome::refused),
                 count(Outcome::failed), count(Outcome::skipped));
    return count(Outcome::refused) + count(Outcome::failed) == 0 ? exitSuccess : exitFailure;
}

}  // namespace recwav::scan
