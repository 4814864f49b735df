// SPDX-License-Identifier: MIT
// The page's entry into the project's C++, over memory. A Record file is read
// through the same reader and written through the same WAVE header and
// conversion loop as recwav's, over memory streams, so the page's WAV bytes
// are recwav's by construction; the WAV is handed out in parts, so that a
// long recording's is never held whole in this memory. Sounds are coded by
// the same encoders and Record file writer as wavrec's.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>
#include <recwav/recordfile.hpp>

#include <recwav/wav.hpp>

namespace recwav {

namespace {

// How the page reports a file; the values are read by the page's script.
enum class WebOutcome : std::uint32_t {
    converted = 0,
    notRecordFile = 1,     // not a Psion Record document at all: skipped quietly
    notCorrectFormat = 2,  // a Record document recwav refuses
    readFailed = 3,
    // Memory streams fail only for want of memory: the input cannot be
    // opened, or a part of the WAV cannot grow.
    outOfMemory = 4,
    converting = 5,  // more parts to come
};

enum class WebCoding : std::uint32_t { none = 0, aLaw = 1, adpcm = 2, adpcmBest = 3 };

// One conversion's state, laid out as 32-bit words for the page to read.
struct WebConversion {
    std::uint32_t outcome = 0;
    std::uint32_t coding = 0;
    std::uint32_t declared = 0;  // samples the sound header declares
    std::uint32_t partAddress = 0;
    std::uint32_t partSize = 0;  // the WAV's next bytes, the header first
};

// About 8 MB of WAV a part: a few milliseconds of work between the page's
// looks at the progress, and few parts for a long recording.
constexpr std::uint32_t batchesPerPart = 1024;

WebConversion conversion;
std::FILE* conversionInput = nullptr;
SoundStream conversionStream;
std::array<std::int16_t, samplesPerCall> conversionBuffer{};
char* partBytes = nullptr;

void releasePart() {
    std::free(partBytes);
    partBytes = nullptr;
    conversion.partAddress = 0;
    conversion.partSize = 0;
}

// A Record file made from samples, laid out as 32-bit words for the page.
struct WebRecording {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::uint32_t samples = 0;  // declared, and coded
    std::uint32_t checked = 0;  // 1 when the file reads back as coded
};

WebRecording recording;
std::vector<std::uint8_t> recordBytes;

std::uint32_t address(const void* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

// Codes the samples as a Record file in recordBytes, sized once so that the
// file is never held twice, then reads it back as any reader would: the page
// offers it only when it holds exactly what was coded.
void makeRecording(const std::int16_t* samples, std::uint32_t count, const RecordSettings& settings) {
    recordBytes.clear();
    recordBytes.reserve(recordFileBound(count, settings));
    RecordEncoder encoder;
    encoder.settings = settings;
    std::array<std::uint8_t, recordPreambleSize> settled{};
    bool checked = encodeRecord(encoder, samples, count, recordBytes) == Status::ok &&
                   finishRecord(encoder, recordBytes, settled) == Status::ok;
    std::copy(settled.begin(), settled.end(), recordBytes.begin());
    std::FILE* file = checked ? fmemopen(recordBytes.data(), recordBytes.size(), "rb") : nullptr;
    std::string mismatch;
    checked = file != nullptr && checkRecordFile(file, encoder.summary, mismatch) == Status::ok;
    if (file != nullptr) {
        std::fclose(file);
    }
    recording = {address(recordBytes.data()), static_cast<std::uint32_t>(recordBytes.size()),
                 static_cast<std::uint32_t>(encoder.summary.samples), checked ? 1U : 0U};
}

// Writes the next part of the WAV through `write(output)` into partBytes;
// false when the memory stream cannot be made or grow.
template <typename Write>
bool writePart(Write write) {
    releasePart();
    std::size_t size = 0;
    std::FILE* output = open_memstream(&partBytes, &size);
    if (output == nullptr) {
        return false;
    }
    const bool written = write(output);
    // Closing the stream sets partBytes and size to their final values.
    const bool closed = std::fclose(output) == 0;
    conversion.partAddress = address(partBytes);
    conversion.partSize = static_cast<std::uint32_t>(size);
    return written && closed;
}

WebOutcome beginConversion(std::uint8_t* data, std::size_t size) {
    // A 0-byte memory stream cannot be opened; such a file is not ours anyway.
    if (size == 0 || !looksLikeRecordFile(data, size)) {
        return WebOutcome::notRecordFile;
    }
    conversionInput = fmemopen(data, size, "rb");
    if (conversionInput == nullptr) {
        return WebOutcome::outOfMemory;
    }
    conversionStream = SoundStream{};
    if (parseRecordFile(conversionInput, conversionStream) == -1) {
        return WebOutcome::notCorrectFormat;
    }
    conversion.coding =
        static_cast<std::uint32_t>(conversionStream.decode == decodeALaw ? WebCoding::aLaw : WebCoding::adpcm);
    conversion.declared = conversionStream.sampleCount;
    const bool written =
        writePart([](std::FILE* output) { return writeWavHeader(output, conversionStream) == Status::ok; });
    return written ? WebOutcome::converting : WebOutcome::outOfMemory;
}

WebOutcome stepConversion() {
    Status result = Status::writeFailed;
    const bool written = writePart([&result](std::FILE* output) {
        result = convertSound(conversionStream, conversionBuffer.data(), output, batchesPerPart);
        return result != Status::writeFailed;
    });
    if (!written) {
        return WebOutcome::outOfMemory;
    }
    if (result == Status::paused) {
        return WebOutcome::converting;
    }
    return result == Status::readFailed ? WebOutcome::readFailed : WebOutcome::converted;
}

}  // namespace

}  // namespace recwav

extern "C" {

// Whether the `size` bytes at `data`, a file's first bytes, make it a Record
// document: 1 or 0. Twelve bytes are enough to tell.
std::uint32_t recwav_is_record_file(const std::uint8_t* data, std::uint32_t size) {
    return recwav::looksLikeRecordFile(data, size) ? 1 : 0;
}

// Ends the conversion under way, if any, and frees its last part.
void recwav_convert_end() {
    if (recwav::conversionInput != nullptr) {
        std::fclose(recwav::conversionInput);
        recwav::conversionInput = nullptr;
    }
    recwav::releasePart();
    recwav::conversion = {};
}

// Judges the `size` bytes at `data` as a Record file and begins its
// conversion to the WAV file recwav writes: while the outcome is
// `converting`, the part holds the WAV's next bytes (the header first) and
// recwav_convert_step() makes the next. `data` must stay in place until
// recwav_convert_end(). The result is valid until the next call.
const recwav::WebConversion* recwav_convert_begin(std::uint8_t* data, std::uint32_t size) {
    recwav_convert_end();
    recwav::conversion.outcome = static_cast<std::uint32_t>(recwav::beginConversion(data, size));
    return &recwav::conversion;
}

const recwav::WebConversion* recwav_convert_step() {
    recwav::conversion.outcome = static_cast<std::uint32_t>(recwav::stepConversion());
    return &recwav::conversion;
}

// Codes `count` samples of 8000 Hz mono sound as a Record file, in A-law
// (coding 1) or ADPCM (coding 2, in wavrec's default blocks; coding 3 with
// the best search, as wavrec --best). Returns the
// address of the result, which stays valid until the next call or
// recwav_release_recording().
const recwav::WebRecording* recwav_encode(const std::int16_t* samples, std::uint32_t count, std::uint32_t coding) {
    recwav::RecordSettings settings;
    if (coding == static_cast<std::uint32_t>(recwav::WebCoding::adpcm) ||
        coding == static_cast<std::uint32_t>(recwav::WebCoding::adpcmBest)) {
        settings.codec = recwav::codecAdpcm;
    }
    if (coding == static_cast<std::uint32_t>(recwav::WebCoding::adpcmBest)) {
        settings.adpcm.search = recwav::AdpcmSearch::best;
    }
    recwav::makeRecording(samples, count, settings);
    return &recwav::recording;
}

// Frees the last Record file made.
void recwav_release_recording() {
    recwav::recordBytes = {};
    recwav::recording = {};
}

}  // extern "C"
