// SPDX-License-Identifier: MIT
// The page's entry into the project's C++: whole files in memory in, whole
// files in memory out. A file is read through the same reader and written
// through the same WAVE header and conversion loop as recwav's, over memory
// streams, so the page's WAV bytes are recwav's by construction.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

#include "converter/converter.hpp"

namespace recwav {

namespace {

// How the page reports a file; the values are read by the page's script.
enum class WebOutcome : std::uint32_t {
    converted = 0,
    notRecordFile = 1,     // not a Psion Record document at all: skipped quietly
    notCorrectFormat = 2,  // a Record document recwav refuses
    readFailed = 3,
    writeFailed = 4,
};

enum class WebCoding : std::uint32_t { none = 0, aLaw = 1, adpcm = 2 };

// One conversion's result, laid out as 32-bit words for the page to read.
struct WebConversion {
    std::uint32_t outcome = 0;
    std::uint32_t coding = 0;
    std::uint32_t declared = 0;  // samples the sound header declares
    std::uint32_t decoded = 0;   // samples the conversion wrote
    std::uint32_t wavAddress = 0;
    std::uint32_t wavSize = 0;
};

WebConversion conversion;
char* wavBytes = nullptr;

// Backups mix Record files with everything else, mostly without extensions.
// A file whose first three identification words are a Record document's is
// one, and a refusal is news; anything else is simply not ours.
bool looksLikeRecordFile(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t identifyingWords = 3;
    if (size < 4 * identifyingWords) {
        return false;
    }
    for (std::size_t i = 0; i < identifyingWords; ++i) {
        if (loadLe32(data + 4 * i) != identificationWords[i]) {
            return false;
        }
    }
    return true;
}

WebOutcome convertInMemory(std::uint8_t* data, std::size_t size, std::FILE* input, std::FILE* output) {
    if (!looksLikeRecordFile(data, size)) {
        return WebOutcome::notRecordFile;
    }
    SoundStream stream;
    if (parseRecordFile(input, stream) == -1) {
        return WebOutcome::notCorrectFormat;
    }
    conversion.coding = static_cast<std::uint32_t>(stream.decode == decodeALaw ? WebCoding::aLaw : WebCoding::adpcm);
    conversion.declared = stream.sampleCount;
    std::array<std::int16_t, samplesPerCall> buffer{};
    writeWavHeader(output, stream);
    switch (convertSound(stream, buffer.data(), output)) {
        case ConvertResult::readFailed:
            return WebOutcome::readFailed;
        case ConvertResult::writeFailed:
            return WebOutcome::writeFailed;
        case ConvertResult::converted:
            break;
    }
    return WebOutcome::converted;
}

}  // namespace

}  // namespace recwav

extern "C" {

// Whether the `size` bytes at `data`, a file's first bytes, make it a Record
// document: 1 or 0. Twelve bytes are enough to tell.
std::uint32_t recwav_is_record_file(const std::uint8_t* data, std::uint32_t size) {
    return recwav::looksLikeRecordFile(data, size) ? 1 : 0;
}

// Frees the last conversion's WAV bytes.
void recwav_release() {
    std::free(recwav::wavBytes);
    recwav::wavBytes = nullptr;
    recwav::conversion = {};
}

// Judges the `size` bytes at `data` as a Record file and converts them to the
// WAV file recwav writes. Returns the address of the result, which stays valid
// until the next call or recwav_release().
const recwav::WebConversion* recwav_convert(std::uint8_t* data, std::uint32_t size) {
    using recwav::conversion;
    using recwav::WebOutcome;
    recwav_release();
    // A 0-byte memory stream cannot be opened; such a file is not ours anyway.
    std::FILE* input = size == 0 ? nullptr : fmemopen(data, size, "rb");
    std::size_t written = 0;
    std::FILE* output = open_memstream(&recwav::wavBytes, &written);
    WebOutcome outcome = WebOutcome::writeFailed;
    if (input == nullptr) {
        outcome = WebOutcome::notRecordFile;
    } else if (output != nullptr) {
        outcome = recwav::convertInMemory(data, size, input, output);
    }
    if (input != nullptr) {
        std::fclose(input);
    }
    // Closing the output sets wavBytes and written to their final values.
    if (output != nullptr && std::fclose(output) != 0 && outcome == WebOutcome::converted) {
        outcome = WebOutcome::writeFailed;
    }
    conversion.outcome = static_cast<std::uint32_t>(outcome);
    if (outcome == WebOutcome::converted) {
        conversion.wavAddress = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(recwav::wavBytes));
        conversion.wavSize = static_cast<std::uint32_t>(written);
        conversion.decoded = static_cast<std::uint32_t>((written - recwav::wavHeaderSize) / recwav::wavBytesPerSample);
    }
    return &conversion;
}

}  // extern "C"
