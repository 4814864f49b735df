// SPDX-License-Identifier: MIT
#include "wavrec/wavrec.hpp"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include <recwav/decoders.hpp>
#include <recwav/files.hpp>

#ifndef RECWAV_VERSION
#define RECWAV_VERSION "unknown"
#endif

namespace recwav {

namespace {

constexpr const char* programName = "wavrec";

// Samples taken from the input at a time.
constexpr std::size_t samplesPerRead = 4000;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

void printHelp() {
    std::printf(
        "Usage: wavrec [OPTIONS] INPUT OUTPUT.rec\n"
        "Writes any sound as a Psion 5 Record file: 8000 samples per second, mono.\n"
        "\n"
        "INPUT is any file libsndfile reads (WAV, AIFF, FLAC, Ogg, ...) or a Record file.\n"
        "\n"
        "  -c, --coding alaw|adpcm   8-bit A-law (the default) or 4-bit IMA ADPCM\n"
        "      --max-block N         ADPCM: at most N samples a block, 1 to %u (default 800)\n"
        "      --fixed-blocks        ADPCM: every block N samples long, but the last\n"
        "      --repeats N           repeat count in the sound header, 0 to 65535 (default %u)\n"
        "      --volume N            volume in the sound header, 0 to 255 (default %u)\n"
        "      --gap MICROSECONDS    pause between repeats, 0 to 4294967295 (default %u)\n"
        "      --header-from FILE    take repeats, volume and gap from a Record file\n"
        "  -h, --help                print this help and exit\n"
        "      --version             print the version and exit\n"
        "\n"
        "Exit status: 0 on success, 1 on failure, 2 on a usage error.\n",
        maxAdpcmBlock, unsigned{defaultSoundHeaderFields.repeats}, unsigned{defaultSoundHeaderFields.volume},
        unsigned{defaultSoundHeaderFields.gap});
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName, message.c_str(), programName);
    return exitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", programName, message.c_str());
    return exitFailure;
}

std::string quoted(const char* path) {
    return std::string("'") + path + "'";
}

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

struct CommandLine {
    WavrecSettings settings;
    std::optional<std::uint16_t> repeats;
    std::optional<std::uint8_t> volume;
    std::optional<std::uint32_t> gap;
    const char* headerFrom = nullptr;
    const char* adpcmOption = nullptr;  // the last option given that only ADPCM uses
    const char* input = nullptr;
    const char* output = nullptr;
    bool help = false;
    bool version = false;
};

enum LongOnly { optMaxBlock = 256, optFixedBlocks, optRepeats, optVolume, optGap, optHeaderFrom, optVersion };

// Fills `line`; returns an empty string, or what was wrong.
std::string parseCommandLine(int argc, char* argv[], CommandLine& line) {
    static const option longOptions[] = {
        {"coding", required_argument, nullptr, 'c'},
        {"max-block", required_argument, nullptr, optMaxBlock},
        {"fixed-blocks", no_argument, nullptr, optFixedBlocks},
        {"repeats", required_argument, nullptr, optRepeats},
        {"volume", required_argument, nullptr, optVolume},
        {"gap", required_argument, nullptr, optGap},
        {"header-from", required_argument, nullptr, optHeaderFrom},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optVersion},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // a fresh scan, also when run more than once in one process
    opterr = 0;  // our own messages, in our own form
    for (;;) {
        const int at = std::max(optind, 1);  // the word getopt reads next, for messages
        const int choice = getopt_long(argc, argv, "+c:h", longOptions, nullptr);
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
                line.adpcmOption = "--max-block";
                break;
            case optFixedBlocks:
                line.settings.adpcm.fixedBlocks = true;
                line.adpcmOption = "--fixed-blocks";
                break;
            case optRepeats:
                number = parseNumber(optarg, 0, std::numeric_limits<std::uint16_t>::max());
                if (!number) {
                    return invalid + "--repeats: expected 0 to 65535";
                }
                line.repeats = static_cast<std::uint16_t>(*number);
                break;
            case optVolume:
                number = parseNumber(optarg, 0, std::numeric_limits<std::uint8_t>::max());
                if (!number) {
                    return invalid + "--volume: expected 0 to 255";
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
            case 'h':
                line.help = true;
                break;
            case optVersion:
                line.version = true;
                break;
            default: {
                const std::string word = argv[at];
                if (optopt == 0 || word.rfind("--", 0) != 0) {
                    if (optopt == 'c') {
                        return "option '-c' needs a value";
                    }
                    return optopt == 0 ? "unknown option '" + word + "'"
                                       : std::string("unknown option '-") + static_cast<char>(optopt) + "'";
                }
                // A known long option, perhaps abbreviated: named in full.
                std::string name = word.substr(0, word.find('='));
                for (const option* known = longOptions; known->name != nullptr; ++known) {
                    if (known->val == optopt) {
                        name = std::string("--") + known->name;
                    }
                }
                return "option '" + name +
                       (word.find('=') != std::string::npos ? "' takes no value" : "' needs a value");
            }
        }
    }
    if (line.help || line.version) {
        return "";
    }
    if (line.adpcmOption != nullptr && line.settings.codec != codecAdpcm) {
        return std::string(line.adpcmOption) + " applies to ADPCM only (-c adpcm)";
    }
    if (argc - optind != 2) {
        return argc - optind < 2 ? "expected INPUT and OUTPUT.rec" : "too many arguments";
    }
    line.input = argv[optind];
    line.output = argv[optind + 1];
    return "";
}

// The temporary file beside the output, removed again if the run is stopped
// by a signal before it becomes the output.
char temporaryPath[4096];

extern "C" void removeTemporaryAndStop(int signal) {
    if (temporaryPath[0] != '\0') {
        unlink(temporaryPath);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void watchSignals(bool on) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(signal, on ? removeTemporaryAndStop : SIG_DFL);
    }
}

void removeTemporary() {
    if (temporaryPath[0] != '\0') {
        unlink(temporaryPath);
        temporaryPath[0] = '\0';
    }
    watchSignals(false);
}

bool writeAll(std::FILE* output, const void* bytes, std::size_t count) {
    return count == 0 || std::fwrite(bytes, 1, count, output) == count;
}

// The file that `path` names once its symbolic links are followed, in a
// folder with none: the temporary file goes beside it and is renamed over it,
// so a link to the output stays a link. A path that names nothing yet names
// the new file, as does a link that points at nothing. Empty on failure, with
// errno set.
std::string followLinks(const char* path) {
    constexpr int maxLinks = 40;  // as the kernel allows, then ELOOP
    std::string current = path;
    for (int links = 0;; ++links) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0) {
            if (errno != ENOENT) {
                return {};
            }
            break;
        }
        if (!S_ISLNK(info.st_mode)) {
            break;
        }
        if (links == maxLinks) {
            errno = ELOOP;
            return {};
        }
        std::string target(4096, '\0');
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) == target.size()) {
            errno = ENAMETOOLONG;
            return {};
        }
        target.resize(static_cast<std::size_t>(length));
        const std::size_t slash = current.rfind('/');
        if ((!target.empty() && target.front() == '/') || slash == std::string::npos) {
            current = target;
        } else {
            current.resize(slash + 1);  // a relative link is read from its own folder
            current += target;
        }
    }
    const std::size_t slash = current.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : current.substr(0, slash);
    const std::string name = slash == std::string::npos ? current : current.substr(slash + 1);
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(folder.c_str(), nullptr), &std::free);
    if (!real) {
        return {};
    }
    const std::string realFolder = real.get();
    return realFolder + (realFolder.back() == '/' ? "" : "/") + name;
}

// Creates the temporary file with the mode a new file would get.
std::FILE* createTemporary(const char* outputPath) {
    const std::string pattern = std::string(outputPath) + ".wavrec-XXXXXX";
    if (pattern.size() >= sizeof temporaryPath) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(temporaryPath, pattern.c_str(), pattern.size() + 1);
    watchSignals(true);
    const int fd = mkstemp(temporaryPath);
    if (fd < 0) {
        const int cause = errno;
        temporaryPath[0] = '\0';
        watchSignals(false);
        errno = cause;
        return nullptr;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        const int cause = errno;
        close(fd);
        removeTemporary();
        errno = cause;
    }
    return file;
}

}  // namespace

RecordingResult writeRecording(AudioInput& input, const WavrecSettings& settings, std::FILE* output,
                               std::vector<std::int16_t>* decoded) {
    RecordingResult result;
    const auto fail = [&result](RecordingResult::Failure failure, std::string cause) {
        result.failure = failure;
        result.cause = std::move(cause);
        return result;
    };
    const auto preamble = recordFilePreamble(settings.codec, 0, settings.fields);
    if (!writeAll(output, preamble.data(), preamble.size())) {
        return fail(RecordingResult::Failure::writing, std::strerror(errno));
    }
    std::vector<std::int16_t> samples(samplesPerRead);
    std::vector<std::uint8_t> codes;
    AdpcmEncoder adpcm;
    adpcm.settings = settings.adpcm;
    for (;;) {
        const std::size_t count = readAudio(input, samples.data(), samples.size());
        if (!input.error.empty()) {
            return fail(RecordingResult::Failure::reading, input.error);
        }
        result.samples += count;
        if (result.samples > maxDeclaredCount) {
            return fail(RecordingResult::Failure::reading, "too long for a Record file (over 4294967294 samples)");
        }
        codes.clear();
        if (settings.codec == codecALaw) {
            codes.resize(count);
            encodeALawSamples(samples.data(), count, codes.data());
            if (decoded != nullptr) {
                for (const std::uint8_t code : codes) {
                    decoded->push_back(aLawTable[code]);
                }
            }
        } else if (count > 0) {
            encodeAdpcm(adpcm, samples.data(), count, codes, decoded);
        } else {
            finishAdpcm(adpcm, codes, decoded);
        }
        if (!writeAll(output, codes.data(), codes.size())) {
            return fail(RecordingResult::Failure::writing, std::strerror(errno));
        }
        if (count == 0) {
            break;
        }
    }
    if (!patchDeclaredCount(output, static_cast<std::uint32_t>(result.samples))) {
        return fail(RecordingResult::Failure::writing, std::strerror(errno));
    }
    return result;
}

int runWavrec(int argc, char* argv[]) {
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
        std::printf("wavrec (recwav) %s\n", RECWAV_VERSION);
        return exitSuccess;
    }

    // Fields from a device's recording first; options given by name win.
    if (line.headerFrom != nullptr) {
        if (sameFile(line.headerFrom, line.output)) {
            return failure("will not write over " + quoted(line.headerFrom) + ", which it reads");
        }
        const std::unique_ptr<std::FILE, StdioCloser> model(
            isDirectory(line.headerFrom) ? nullptr : std::fopen(line.headerFrom, "rb"));
        if (!model) {
            return failure("cannot open " + quoted(line.headerFrom) + ": " +
                           std::strerror(isDirectory(line.headerFrom) ? EISDIR : errno));
        }
        SoundStream stream;
        if (parseRecordFile(model.get(), stream) == -1) {
            return failure("cannot read " + quoted(line.headerFrom) + ": not a Record file wavrec can read");
        }
        line.settings.fields = {stream.hdrShort, stream.hdrByte, stream.hdrLong};
    }
    line.settings.fields.repeats = line.repeats.value_or(line.settings.fields.repeats);
    line.settings.fields.volume = line.volume.value_or(line.settings.fields.volume);
    line.settings.fields.gap = line.gap.value_or(line.settings.fields.gap);

    if (sameFile(line.input, line.output)) {
        return failure("will not write over " + quoted(line.input) + ", which it reads");
    }
    OpenFailure refused;
    const std::unique_ptr<AudioInput> input = openAudioInput(line.input, refused);
    if (!input) {
        return failure((refused.opened ? "cannot read " : "cannot open ") + quoted(line.input) + ": " + refused.cause);
    }
    // A Record file is written whole and its count set at the end, so it
    // cannot stream to a device or a pipe; and renaming over one would put a
    // plain file in its place.
    const std::string target = followLinks(line.output);
    if (target.empty()) {
        return failure("cannot create " + quoted(line.output) + ": " + std::strerror(errno));
    }
    struct stat existing {};
    if (stat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        return failure("cannot write " + quoted(line.output) + ": " +
                       (S_ISDIR(existing.st_mode) ? std::strerror(EISDIR) : "not a regular file"));
    }

    // The output appears under its name only once it is whole.
    std::FILE* output = createTemporary(target.c_str());
    if (output == nullptr) {
        return failure("cannot create " + quoted(line.output) + ": " + std::strerror(errno));
    }
    RecordingResult result = writeRecording(*input, line.settings, output);
    const auto writeFailed = [&result] {
        result.failure = RecordingResult::Failure::writing;
        result.cause = std::strerror(errno);
    };
    if (result.failure == RecordingResult::Failure::none && (std::fflush(output) != 0 || fsync(fileno(output)) != 0)) {
        writeFailed();
    }
    if (std::fclose(output) != 0 && result.failure == RecordingResult::Failure::none) {
        writeFailed();
    }
    if (result.failure == RecordingResult::Failure::none && std::rename(temporaryPath, target.c_str()) != 0) {
        writeFailed();
    }
    if (result.failure == RecordingResult::Failure::none) {
        temporaryPath[0] = '\0';  // it is the output now
    }
    removeTemporary();
    switch (result.failure) {
        case RecordingResult::Failure::reading:
            return failure("cannot read " + quoted(line.input) + ": " + result.cause);
        case RecordingResult::Failure::writing:
            return failure("cannot write " + quoted(line.output) + ": " + result.cause);
        case RecordingResult::Failure::none:
            break;
    }
    if (input->clipped > 0) {
        std::fprintf(stderr, "%s: %s: %llu samples clamped to the 16-bit range\n", programName,
                     quoted(line.input).c_str(), static_cast<unsigned long long>(input->clipped));
    }
    return exitSuccess;
}

}  // namespace recwav
