// SPDX-License-Identifier: MIT
#include "wavrec/options.hpp"

#include <recwav/platform.hpp>

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
        "  or:  wavrec [OPTIONS] INPUT... FOLDER\n"
        "Writes any sound as a Psion 5 Record file: 8000 samples per second, mono.\n"
        "\n"
        "INPUT is any file libsndfile reads (WAV, AIFF, FLAC, Ogg, ...), a Record file,\n"
        "or a Series 3 sound (WVE), whose repeats and trailing silence are kept.\n"
        "Into a FOLDER, each INPUT becomes FOLDER/NAME.rec, NAME its file name without\n"
        "its extension; one that fails is reported and the others are still written.\n"
        "\n"
        "  -c, --coding alaw|adpcm  8-bit A-law (the default) or 4-bit IMA ADPCM\n"
        "      --max-block N        ADPCM: at most N samples a block, 1 to %u (default 800)\n"
        "      --fixed-blocks       ADPCM: every block N samples long, but the last\n"
        "      --best               ADPCM (-c adpcm may be left out): a far wider\n"
        "                           search for codes, some 20 times slower; up to\n"
        "                           0.7 dB better on speech, less on music\n"
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
        "On a terminal, work that takes over a second shows a progress line.\n"
        "Exit status: 0 on success, 1 on any failure, 2 on a usage error.\n",
        maxAdpcmBlock, unsigned{defaultSoundHeaderFields.volume}, unsigned{defaultSoundHeaderFields.gap},
        unsigned{maxJobs});
}

namespace {

// What the scan has seen so far, for the checks made once it is done.
struct Seen {
    const char* adpcmOption = nullptr;  // the last option given that only ADPCM uses
    bool coding = false;                // -c given
};

// One of the coding's options: false when `choice` is none of them; `wrong`
// says what was wrong with its value.
bool takeCodingOption(int choice, const std::string& invalid, CommandLine& line, Seen& seen, std::string& wrong) {
    std::optional<std::uint32_t> number;
    switch (choice) {
        case 'c':
            seen.coding = true;
            if (std::strcmp(optarg, "alaw") == 0) {
                line.settings.codec = codecALaw;
            } else if (std::strcmp(optarg, "adpcm") == 0) {
                line.settings.codec = codecAdpcm;
            } else {
                wrong = invalid + "--coding: expected alaw or adpcm";
            }
            return true;
        case optMaxBlock:
            number = parseNumber(optarg, 1, maxAdpcmBlock);
            if (!number) {
                wrong = invalid + "--max-block: expected 1 to " + std::to_string(maxAdpcmBlock);
                return true;
            }
            line.settings.adpcm.maxBlock = *number;
            seen.adpcmOption = "--max-block";
            return true;
        case optFixedBlocks:
            line.settings.adpcm.fixedBlocks = true;
            seen.adpcmOption = "--fixed-blocks";
            return true;
        case optBest:
            line.settings.adpcm.search = AdpcmSearch::best;
            seen.adpcmOption = "--best";
            return true;
        default:
            return false;
    }
}

// One of the options of the sound header, or of the run: false when
// `choice` is none of them.
bool takeOtherOption(int choice, const std::string& invalid, CommandLine& line, std::string& wrong) {
    std::optional<std::uint32_t> number;
    switch (choice) {
        case optRepeats:
            number = parseNumber(optarg, 0, std::numeric_limits<std::uint16_t>::max());
            line.repeats = static_cast<std::uint16_t>(number.value_or(0));
            wrong = number ? "" : invalid + "--repeats: expected 0 to 65535";
            return true;
        case optVolume:
            number = parseNumber(optarg, minVolume, maxVolume);
            line.volume = static_cast<std::uint8_t>(number.value_or(0));
            wrong = number ? "" : invalid + "--volume: expected 1 (lowest) to 5 (loudest)";
            return true;
        case optGap:
            number = parseNumber(optarg, 0, std::numeric_limits<std::uint32_t>::max());
            line.gap = number.value_or(0);
            wrong = number ? "" : invalid + "--gap: expected 0 to 4294967295 microseconds";
            return true;
        case optHeaderFrom:
            line.headerFrom = optarg;
            return true;
        case optJobs:
            number = parseNumber(optarg, 1, maxJobs);
            line.jobs = number.value_or(1);
            wrong = number ? "" : invalid + "--jobs: expected 1 to " + std::to_string(maxJobs);
            return true;
        case 'f':
            line.force = true;
            return true;
        case 'h':
            line.help = true;
            return true;
        case optVersion:
            line.version = true;
            return true;
        default:
            return false;
    }
}

// The checks once every option is read, and the paths after them.
std::string takeOperands(int argc, char* argv[], const Seen& seen, CommandLine& line) {
    // --best alone asks for ADPCM, the only coding it applies to.
    if (!seen.coding && line.settings.adpcm.search == AdpcmSearch::best) {
        line.settings.codec = codecAdpcm;
    }
    if (seen.adpcmOption != nullptr && line.settings.codec != codecAdpcm) {
        return std::string(seen.adpcmOption) + " applies to ADPCM only (-c adpcm)";
    }
    if (argc - optind < 2) {
        return "expected INPUT and OUTPUT.rec";
    }
    line.inputs.assign(argv + optind, argv + argc - 1);
    line.output = argv[argc - 1];
    for (const char* input : line.inputs) {
        if (*input == '\0') {
            return "INPUT is an empty name";
        }
    }
    return *line.output == '\0' ? "OUTPUT.rec is an empty name" : "";
}

}  // namespace

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
    Seen seen;
    optind = 0;  // a fresh scan, also when run more than once in one process
    opterr = 0;  // our own messages, in our own form
    for (;;) {
        const int at = std::max(optind, 1);  // the word getopt reads next, for messages
        const int choice = getopt_long(argc, argv, "+c:fh", longOptions, nullptr);
        if (choice == -1) {
            break;
        }
        const std::string invalid = std::string("invalid value '") + (optarg != nullptr ? optarg : "") + "' for ";
        std::string wrong;
        if (!takeCodingOption(choice, invalid, line, seen, wrong) && !takeOtherOption(choice, invalid, line, wrong)) {
            return optionError(argv[at], longOptions, "c");
        }
        if (!wrong.empty()) {
            return wrong;
        }
    }
    if (line.help || line.version) {
        return "";
    }
    return takeOperands(argc, argv, seen, line);
}

}  // namespace recwav
