// SPDX-License-Identifier: MIT
#include "recscan/options.hpp"

#include <recwav/platform.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace recwav::scan {

namespace {

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

enum LongOnly { optJson = 256, optMaxEntry, optMaxTotal, optDepth, optVersion, optCarve };

// Takes the value of an option that has one; returns an empty string, or what was wrong.
std::string takeValue(int choice, const char* value, Settings& settings) {
    const std::string invalid = std::string("invalid value '") + (value != nullptr ? value : "") + "' for ";
    std::optional<std::uint64_t> number;
    switch (choice) {
        case 'j':
            number = parseSize(value, false);
            if (!number || *number < 1 || *number > maxJobs) {
                return invalid + "--jobs: expected 1 to " + std::to_string(maxJobs);
            }
            settings.jobs = static_cast<unsigned>(*number);
            break;
        case optMaxEntry:
        case optMaxTotal:
            number = parseSize(value, true);
            if (!number || *number == 0) {
                return invalid + (choice == optMaxEntry ? "--max-entry-size" : "--max-total-size") +
                       ": expected a size such as 300M";
            }
            (choice == optMaxEntry ? settings.maxEntrySize : settings.maxTotalSize) = *number;
            break;
        default:  // optDepth
            number = parseSize(value, false);
            if (!number || *number < 1 || *number > 64) {
                return invalid + "--archive-depth: expected 1 to 64";
            }
            settings.archiveDepth = static_cast<unsigned>(*number);
            break;
    }
    return "";
}

}  // namespace

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
        std::string wrong;
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
            case optMaxEntry:
            case optMaxTotal:
            case optDepth:
                wrong = takeValue(choice, optarg, line.settings);
                break;
            case 'h':
                line.help = true;
                break;
            case optVersion:
                line.version = true;
                break;
            default:
                wrong = optionError(argv[at], longOptions, "j");
        }
        if (!wrong.empty()) {
            return wrong;
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

}  // namespace recwav::scan
