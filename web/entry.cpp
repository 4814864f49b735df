// SPDX-License-Identifier: MIT
// The page's entry into the project's C++: whole files in memory in, whole
// files in memory out. A file is read through the same reader and written
// through the same WAVE header and conversion loop as recwav's, over memory
// streams, so the page's WAV bytes are recwav's by construction; sounds are
// coded by the same encoders and Record file writer as wavrec's.
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

#include "converter/converter.hpp"

namespace recwav {

namespace {

// How the page reports a file; the values are read by the page's script.
enum class WebOutcome : std::uint32_t {
    converted = 0,
    notRecordFile = 1,     // not a Psion Record document at all: skipped quietly
    notCorrectFormat = 2,  // a Record document recwav refuses
    readFailed = 3,
    // Memory streams fail only for want of memory: the input cannot be
    // opened, or the WAV cannot grow.
    outOfMemory = 4,
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
    bool checked = encodeRecord(encoder, samples, count, recordBytes) && finishRecord(encoder, recordBytes, settled);
    std::copy(settled.begin(), settled.end(), recordBytes.begin());
    std::FILE* file = checked ? fmemopen(recordBytes.data(), recordBytes.size(), "rb") : nullptr;
    checked = file != nullptr && checkRecordFile(file, encoder.summary).empty();
    if (file != nullptr) {
        std::fclose(file);
    }
    recording = {address(recordBytes.data()), static_cast<std::uint32_t>(recordBytes.size()),
                 static_cast<std::uint32_t>(encoder.summary.samples), checked ? 1U : 0U};
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
            return WebOutcome::outOfMemory;
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
    if (size == 0) {
        conversion.outcome = static_cast<std::uint32_t>(WebOutcome::notRecordFile);
        return &conversion;
    }
    std::FILE* input = fmemopen(data, size, "rb");
    std::size_t written = 0;
    std::FILE* output = open_memstream(&recwav::wavBytes, &written);
    WebOutcome outcome = WebOutcome::outOfMemory;
    if (input != nullptr && output != nullptr) {
        outcome = recwav::convertInMemory(data, size, input, output);
    }
    if (input != nullptr) {
        std::fclose(input);
    }
    // Closing the output sets wavBytes and written to their final values.
    if (output != nullptr && std::fclose(output) != 0 && outcome == WebOutcome::converted) {
        outcome = WebOutcome::outOfMemory;
    }
    conversion.outcome = static_cast<std::uint32_t>(outcome);
    if (outcome == WebOutcome::converted) {
        conversion.wavAddress = recwav::address(recwav::wavBytes);
        conversion.wavSize = static_cast<std::uint32_t>(written);
        conversion.decoded = static_cast<std::uint32_t>((written - recwav::wavHeaderSize) / recwav::wavBytesPerSample);
    }
    return &conversion;
}

// Codes `count` samples of 8000 Hz mono sound as a Record file, in A-law
// (coding 1) or ADPCM (coding 2, in wavrec's default blocks). Returns the
// address of the result, which stays valid until the next call or
// recwav_release_recording().
const recwav::WebRecording* recwav_encode(const std::int16_t* samples, std::uint32_t count, std::uint32_t coding) {
    recwav::RecordSettings settings;
    if (coding == static_cast<std::uint32_t>(recwav::WebCoding::adpcm)) {
        settings.codec = recwav::codecAdpcm;
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
