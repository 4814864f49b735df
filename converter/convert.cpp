#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "converter/converter.hpp"
#include "converter/files.hpp"

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
    std::FILE* input = isDirectory(path) ? nullptr : std::fopen(path, "rb");
    if (input != nullptr) {
        std::setvbuf(input, inputFileBuffer, _IOFBF, sizeof inputFileBuffer);
    }
    return input;
}

// Samples go out little-endian whatever the host's byte order; converting in
// place keeps the one buffer for the whole run.
void toLittleEndian(std::int16_t* samples, std::uint32_t count) {
    auto* bytes = reinterpret_cast<unsigned char*>(samples);
    for (std::size_t i = 0; i < count; ++i) {
        const auto value = static_cast<std::uint16_t>(samples[i]);
        const unsigned char littleEndian[2] = {static_cast<unsigned char>(value & 0xFFU),
                                               static_cast<unsigned char>(value >> 8)};
        std::memcpy(bytes + 2 * i, littleEndian, sizeof littleEndian);
    }
}

}  // namespace

bool convertSound(SoundStream& stream, std::int16_t* buffer, std::FILE* output) {
    std::uint32_t produced = 0;
    do {
        produced = stream.decode(samplesPerCall, buffer, stream);
        toLittleEndian(buffer, produced);
        if (std::fwrite(buffer, sizeof *buffer, produced, output) != produced) {
            return false;  // no point decoding further into a failing output
        }
    } while (produced == samplesPerCall);
    return true;
}

int runRecwav(int argc, char* argv[]) {
    if (argc != 3) {
        const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
        printUsage(named ? argv[0] : defaultProgramName);
        return 0;
    }
    const char* inputPath = argv[1];
    const char* outputPath = argv[2];

    std::FILE* input = openInput(inputPath);
    if (input == nullptr) {
        std::printf("Error: could not open input file %s\n", inputPath);
        return -1;
    }

    SoundStream stream;
    if (parseRecordFile(input, stream) == -1) {
        std::printf("Error: input file is not correct format\n");
        std::fclose(input);
        return -1;
    }

    // Opening the output would truncate the recording just accepted.
    if (sameFile(inputPath, outputPath)) {
        std::printf("Error: could not open output file %s\n", outputPath);
        std::fclose(input);
        return -1;
    }
    std::FILE* output = std::fopen(outputPath, "wb");
    if (output == nullptr) {
        std::printf("Error: could not open output file %s\n", outputPath);
        std::fclose(input);
        return -1;
    }
    // Fewer, larger writes; the samples still leave in blocks of 8000 bytes.
    std::setvbuf(output, outputFileBuffer, _IOFBF, sizeof outputFileBuffer);

    // Freed on return, after both files have been closed below.
    const std::unique_ptr<std::int16_t[]> buffer(new (std::nothrow) std::int16_t[samplesPerCall]);
    if (!buffer) {
        std::printf("Error: could not allocate buffer\n");
        std::fclose(input);
        std::fclose(output);
        return -1;
    }

    writeWavHeader(output, stream);
    bool written = convertSound(stream, buffer.get(), output);
    std::fclose(input);
    written = std::ferror(output) == 0 && written;
    written = std::fclose(output) == 0 && written;  // the final flush can fail too
    if (!written) {
        // The partial file stays: the program never deletes a file it created.
        std::printf("Error: could not write output file %s\n", outputPath);
        return -1;
    }
    return 0;
}
