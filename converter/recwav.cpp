// SPDX-License-Identifier: MIT
// The recwav command: its usage text, the order in which it opens, accepts
// and releases its files, and its messages and exit status, fixed as they are.
#include <memory>
#include <new>

#include <recwav/platform.hpp>
#include <recwav/wav.hpp>

#include "converter/recwav.hpp"

namespace recwav {

namespace {

constexpr const char* defaultProgramName = "recwav";
constexpr const char* maintainerName = "The recwav maintainers";
constexpr const char* maintainerAddress = "recwav@example.org";

void printUsage(const char* programName) {
    std::printf(
        "%s\n\nConverts Psion 5 Record files to WAV files.\n\nUSAGE %s infile outfile\n"
        "Comments to %s <%s>\n",
        programName, programName, maintainerName, maintainerAddress);
}

// The files' own buffers, larger than the C library's default so that reads
// and writes are fewer; each must stay valid until its file is closed.
char inputFileBuffer[1 << 16];
char outputFileBuffer[1 << 16];

// Opening a directory for reading succeeds on some systems, yet it can never
// be read as a file.
std::FILE* openInput(const char* path) {
    std::FILE* input = isDirectory(path) ? nullptr : openFile(path, "rb");
    if (input != nullptr) {
        std::setvbuf(input, inputFileBuffer, _IOFBF, sizeof inputFileBuffer);
    }
    return input;
}

// How a run ends; each failure has its one message.
enum class Outcome {
    converted,
    cannotOpenInput,
    notCorrectFormat,
    cannotOpenOutput,
    cannotAllocate,
    readFailed,
    writeFailed
};

// What a run acquires, in this order; release() gives back what was taken.
struct Resources {
    std::FILE* input = nullptr;
    std::FILE* output = nullptr;
    std::unique_ptr<std::int16_t[]> buffer;
};

// Each step that fails returns at once and leaves the releasing to release().
Outcome convertFile(const char* inputPath, const char* outputPath, Resources& taken) {
    taken.input = openInput(inputPath);
    if (taken.input == nullptr) {
        return Outcome::cannotOpenInput;
    }
    SoundStream stream;
    if (parseRecordFile(taken.input, stream) == -1) {
        return Outcome::notCorrectFormat;
    }
    // Opening the output would truncate the recording just accepted.
    if (sameFile(inputPath, outputPath)) {
        return Outcome::cannotOpenOutput;
    }
    taken.output = openFile(outputPath, "wb");
    if (taken.output == nullptr) {
        return Outcome::cannotOpenOutput;
    }
    // Fewer, larger writes; the samples still leave in blocks of 8000 bytes.
    std::setvbuf(taken.output, outputFileBuffer, _IOFBF, sizeof outputFileBuffer);
    taken.buffer.reset(new (std::nothrow) std::int16_t[samplesPerCall]);
    if (!taken.buffer) {
        return Outcome::cannotAllocate;
    }
    if (writeWavHeader(taken.output, stream) != Status::ok) {
        return Outcome::writeFailed;
    }
    // Without a batch limit the conversion never pauses.
    const Status converted = convertSound(stream, taken.buffer.get(), taken.output);
    if (converted == Status::readFailed) {
        return Outcome::readFailed;
    }
    if (converted == Status::writeFailed) {
        return Outcome::writeFailed;
    }
    return Outcome::converted;
}

// The one way out: the input, then the output, then the buffer. The output's
// final flush can still fail, which turns a conversion into a failed write.
// A created output is never removed, whatever went wrong.
Outcome release(Resources& taken, Outcome outcome) {
    if (taken.input != nullptr) {
        std::fclose(taken.input);
    }
    if (taken.output != nullptr) {
        const bool flushed = std::ferror(taken.output) == 0;
        if (std::fclose(taken.output) != 0 || !flushed) {
            outcome = outcome == Outcome::converted ? Outcome::writeFailed : outcome;
        }
    }
    taken.buffer.reset();
    return outcome;
}

int report(Outcome outcome, const char* inputPath, const char* outputPath) {
    switch (outcome) {
        case Outcome::converted:
            return 0;
        case Outcome::cannotOpenInput:
            std::printf("Error: could not open input file %s\n", inputPath);
            break;
        case Outcome::notCorrectFormat:
            std::printf("Error: input file is not correct format\n");
            break;
        case Outcome::cannotOpenOutput:
            std::printf("Error: could not open output file %s\n", outputPath);
            break;
        case Outcome::cannotAllocate:
            std::printf("Error: could not allocate buffer\n");
            break;
        case Outcome::readFailed:
            std::printf("Error: could not read input file %s\n", inputPath);
            break;
        case Outcome::writeFailed:
            std::printf("Error: could not write output file %s\n", outputPath);
            break;
    }
    return -1;
}

}  // namespace

int runRecwav(int argc, char* argv[]) {
    if (argc != 3) {
        const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
        printUsage(named ? argv[0] : defaultProgramName);
        return 0;
    }
    const char* inputPath = argv[1];
    const char* outputPath = argv[2];
    Resources taken;
    return report(release(taken, convertFile(inputPath, outputPath, taken)), inputPath, outputPath);
}

}  // namespace recwav
