// SPDX-License-Identifier: MIT
#include "wavrec/options.hpp"

#include <recwav/commandline.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace recwav {

namespace {

// A whole decimal number from `low` to `high`, nothing else.
std::optional<std::uint32_t> parseNumber(const char* text, std::uint32_t low, std::uint32_t high) {
    if (*text < '0' || *text > '9') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

enum LongOnly {
    optMaxBlock = 256,
    optFixedBlocks,
    optBest,
    optRepeats,
    optVolume,
    optGap,
    optHeaderFrom,
    optVersion,
    optJobs
};

}  // namespace

void printHelp() {
    std::printf(
        "Usage: wavrec [OPTIONS] INPUT OUTPUT.rec\n"
        "Writes any sound as a Psion 5 Record file: 8000 samples per second, mono.\n"
        "\n"
        "INPUT is any file libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), a Record file,\n"
        "or a Series 3 sound (WVE), whose repeats and trailing silence are kept.\n"
        "\n"
        "  -c, --coding alaw|adpcm  8-bit A-law (the default) or 4-bit IMA ADPCM\n"
        "      --max-block N        ADPCM: at most N samples a block, 1 to %u (default 800)\n"
        "      --fixed-blocks       ADPCM: every block N samples long, but the last\n"
        "      --best               ADPCM: a far wider search for codes, about 1 dB\n"
        "                           better on speech and 40 times slower\n"
        "      --repeats N          plays minus one, 0 (once, the default) to 65535\n"
        "      --volume N           1 (lowest) to 5 (loudest); default %u\n"
        "      --gap MICROSECONDS   pause between repeats, up to 4294967295 (default %u)\n"
        "      --header-from FILE   repeats, volume and gap of a Record file made on the\n"
        "                           device; the three options above win over it\n"
        "      --jobs N             ADPCM: code on N threads, 1 to %u (default: one a\n"
        "                           core it may run on); the file is the same\n"
        "  -f, --force              replace OUTPUT.rec even when it is not a Record file\n"
        "  -h, --help               print this help and exit\n"
        "      --version            print the version and exit\n"
        "\n"
        "Exit status: 0 on success, 1 on failure, 2 on a usage error.\n",
        maxAdpcmBlock, unsigned{defaultSoundHeaderFields.volume}, unsigned{defaultSoundHeaderFields.gap},
        unsigned{maxJobs});
}

std::string parseCommandLine(int argc, char* argv[], CommandLine& line) {
    static const option longOptions[] = {
        {"coding", required_argument, nullptr, 'c'},
        {"max-block", required_argument, nullptr, optMaxBlock},
        {"fixed-blocks", no_argument, nullptr, optFixedBlocks},
        {"best", no_argument, nullptr, optBest},
        {"repeats", required_argument, nullptr, optRepeats},
        {"volume", required_argument, nullptr, optVolume},
        {"gap", required_argument, nullptr, optGap},
        {"header-from", required_argument, nullptr, optHeaderFrom},
        {"jobs", required_argument, nullptr, optJobs},
        {"force", no_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optVersion},
        {nullptr, 0, nullptr, 0},
    };
    const char* adpcmOption = nullptr;  // the last option given that only ADPCM uses
    optind = 0;                         // a fresh scan, also when run more than once in one process
    opterr = 0;                         // our own messages, in our own form
    for (;;) {
        const int at = std::max(optind, 1);  // the word getopt reads next, for messages
        const int choice = getopt_long(argc, argv, "+c:fh", longOptions, nullptr);
        if (choice == -1) {
            break;
        }
        const std::string invalid = std::string("invalid value '") + (optarg != nullptr ? optarg : "") + "' for ";
        std::optional<std::uint32_t> number;
        switch (choice) {
            case 'c':
                if (std::strcmp(optarg, "alaw") == 0) {
                    line.settings.codec = codecALaw;
                } else if (std::strcmp(optarg, "adpcm") == 0) {
                    line.settings.codec = codecAdpcm;
                } else {
                    return invalid + "--coding: expected alaw or adpcm";
                }
                break;
            case optMaxBlock:
                number = parseNumber(optarg, 1, maxAdpcmBlock);
                if (!number) {
                    return invalid + "--max-block: expected 1 to " + std::to_string(maxAdpcmBlock);
                }
                line.settings.adpcm.maxBlock = *number;
                adpcmOption = "--max-block";
                break;
            case optFixedBlocks:
                line.settings.adpcm.fixedBlocks = true;
                adpcmOption = "--fixed-blocks";
                break;
            case optBest:
                line.settings.adpcm.search = AdpcmSearch::best;
                adpcmOption = "--best";
                break;
            case optRepeats:
                number = parseNumber(optarg, 0, std::numeric_limits<std::uint16_t>::max());
                if (!number) {
                    return invalid + "--repeats: expected 0 to 65535";
                }
                line.repeats = static_cast<std::uint16_t>(*number);
                break;
            case optVolume:
                number = parseNumber(optarg, minVolume, maxVolume);
                if (!number) {
                    return invalid + "--volume: expected 1 (lowest) to 5 (loudest)";
                }
                line.volume = static_cast<std::uint8_t>(*number);
                break;
            case optGap:
                number = parseNumber(optarg, 0, std::numeric_limits<std::uint32_t>::max());
                if (!number) {
                    return invalid + "--gap: expected 0 to 4294967295 microseconds";
                }
                line.gap = *number;
                break;
            case optHeaderFrom:
                line.headerFrom = optarg;
                break;
            case optJobs:
                number = parseNumber(optarg, 1, maxJobs);
                if (!number) {
                    return invalid + "--jobs: expected 1 to " + std::to_string(maxJobs);
                }
                line.jobs = *number;
                break;
            case 'f':
                line.force = true;
                break;
            case 'h':
                line.help = true;
                break;
            case optVersion:
                line.version = true;
                break;
            default:
                return optionError(argv[at], longOptions, "c");
        }
    }
    if (line.help || line.version) {
        return "";
    }
    if (adpcmOption != nullptr && line.settings.codec != codecAdpcm) {
        return std::string(adpcmOption) + " applies to ADPCM only (-c adpcm)";
    }
    if (argc - optind != 2) {
        return argc - optind < 2 ? "expected INPUT and OUTPUT.rec" : "too many arguments";
    }
    line.input = argv[optind];
    line.output = argv[optind + 1];
    if (*line.input == '\0' || *line.output == '\0') {
        return *line.input == '\0' ? "INPUT is an empty name" : "OUTPUT.rec is an empty name";
    }
    return "";
}

}  // namespace recwav
