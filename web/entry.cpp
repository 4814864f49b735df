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
#include <recwav/embedded.hpp>
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

// What a file's first bytes make it, for the page to choose its way.
enum class WebKind : std::uint32_t { other = 0, record = 1, series3 = 2, document = 3 };

enum class WebCoding : std::uint32_t { none = 0, aLaw = 1, adpcm = 2, adpcmBest = 3, series3 = 4 };

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
// A Series 3 sound's A-law codes, when that is what is being converted.
const std::uint8_t* series3Codes = nullptr;
std::size_t series3Count = 0;

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
// The Record file being coded a part at a time, and the bytes that then
// stand at its start.
RecordEncoder recordEncoder;
bool recordFits = false;

std::uint32_t address(const void* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

// Begins a Record file in recordBytes, sized once from the samples to come so
// that the file is never held twice.
void beginRecording(std::uint32_t count, const RecordSettings& settings) {
    recordBytes.clear();
    recordBytes.reserve(recordFileBound(count, settings));
    recordEncoder = RecordEncoder{};
    recordEncoder.settings = settings;
    recordFits = true;
}

// Codes the samples still pending and reads the file back as any reader
// would: the page offers it only when it holds exactly what was coded.
// Puts the settled bytes at the file's start, reads the whole file back as
// any reader would, and offers it in `recording`, checked when `coded` and
// the file holds exactly what `encoder` coded.
void offerRecording(const RecordEncoder& encoder, bool coded,
                    const std::array<std::uint8_t, recordPreambleSize>& settled) {
    if (coded) {
        std::copy(settled.begin(), settled.end(), recordBytes.begin());
    }
    std::FILE* file = coded ? fmemopen(recordBytes.data(), recordBytes.size(), "rb") : nullptr;
    std::string mismatch;
    const bool checked = file != nullptr && checkRecordFile(file, encoder.summary, mismatch) == Status::ok;
    if (file != nullptr) {
        std::fclose(file);
    }
    recording = {address(recordBytes.data()), static_cast<std::uint32_t>(recordBytes.size()),
                 static_cast<std::uint32_t>(encoder.summary.samples), checked ? 1U : 0U};
}

void finishRecording() {
    std::array<std::uint8_t, recordPreambleSize> settled{};
    const bool coded = recordFits && finishRecord(recordEncoder, recordBytes, settled) == Status::ok;
    offerRecording(recordEncoder, coded, settled);
}

RecordSettings settingsFor(std::uint32_t coding, std::uint32_t repeats, std::uint32_t gap) {
    RecordSettings settings;
    if (coding == static_cast<std::uint32_t>(WebCoding::adpcm) ||
        coding == static_cast<std::uint32_t>(WebCoding::adpcmBest)) {
        settings.codec = codecAdpcm;
    }
    if (coding == static_cast<std::uint32_t>(WebCoding::adpcmBest)) {
        settings.adpcm.search = AdpcmSearch::best;
    }
    settings.fields.repeats = static_cast<std::uint16_t>(repeats);
    settings.fields.gap = gap;
    return settings;
}

// One long sound's ADPCM coded in several workers: the blocks planned here
// as wavrec plans them, each span of blocks coded by any worker, and the file
// made of the spans' bytes in order, with wavrec's bytes.
AdpcmEncoder planEncoder;
std::vector<std::uint32_t> planBlocks;
std::vector<std::uint8_t> spanBytes;

// An address and a size, as 32-bit words for the page.
struct WebBuffer {
    std::uint32_t address = 0;
    std::uint32_t size = 0;  // in elements: block lengths, or bytes
};
WebBuffer plan;
WebBuffer span;

const WebBuffer* offerPlan(AdpcmSpan& planned) {
    planBlocks = std::move(planned.blocks);
    plan = {address(planBlocks.data()), static_cast<std::uint32_t>(planBlocks.size())};
    return &plan;
}

// The voice notes of the last document searched, each as a Record file of
// its own, found and laid out as recscan finds and lays them out.
std::vector<std::vector<std::uint8_t>> notes;
WebBuffer note;

// The Record file of the blocks of the given lengths, coded into `sound`,
// read back as makeRecording reads its own.
void assembleRecording(const std::uint8_t* sound, std::uint32_t size, const std::uint32_t* lengths,
                       std::uint32_t blocks, const RecordSettings& settings) {
    recordBytes.clear();
    recordBytes.reserve(recordPreambleSize + size);
    RecordEncoder encoder;
    encoder.settings = settings;
    RecordSpan whole;
    whole.bytes.assign(sound, sound + size);
    // What the blocks decode to, where the plan puts them, for the check.
    std::size_t at = 0;
    std::vector<std::uint8_t> header;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint32_t samples = lengths[b];
        header.clear();
        appendAdpcmBlockHeader(header, samples);
        at += header.size();
        if (at + (samples + 1) / 2 > size) {
            break;
        }
        const std::size_t done = whole.decoded.size();
        whole.decoded.resize(done + samples);
        AdpcmState state;
        decodeAdpcmCodes(sound + at, samples, state, whole.decoded.data() + done);
        at += (samples + 1) / 2;
    }
    whole.planned.samples.resize(whole.decoded.size());  // counted, not read
    encoder.given = whole.decoded.size();
    std::array<std::uint8_t, recordPreambleSize> settled{};
    const bool coded = at == size && takeRecordSpan(encoder, whole, recordBytes) == Status::ok &&
                       settleRecord(encoder, settled) == Status::ok;
    offerRecording(encoder, coded, settled);
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

// A Series 3 sound becomes the WAV recscan writes of it: its A-law codes,
// in the G.711 table, the mirror image of the Record files' one.
WebOutcome beginSeries3(const std::uint8_t* data, std::size_t size) {
    series3Codes = data + series3SoundHeaderSize;
    series3Count = size - series3SoundHeaderSize;
    if (series3Count > maxDeclaredCount) {
        return WebOutcome::notCorrectFormat;
    }
    conversion.coding = static_cast<std::uint32_t>(WebCoding::series3);
    conversion.declared = static_cast<std::uint32_t>(series3Count);
    const bool written = writePart([](std::FILE* output) {
        SoundStream header;
        header.sampleCount = static_cast<std::uint32_t>(series3Count);
        return writeWavHeader(output, header) == Status::ok;
    });
    return written ? WebOutcome::converting : WebOutcome::outOfMemory;
}

WebOutcome stepSeries3() {
    const bool written = writePart([](std::FILE* output) {
        for (std::size_t i = 0; i < series3Count; ++i) {
            const auto sample = static_cast<std::uint16_t>(-aLawTable[series3Codes[i]]);
            const std::array<std::uint8_t, 2> bytes{static_cast<std::uint8_t>(sample & 0xFFU),
                                                    static_cast<std::uint8_t>(sample >> 8U)};
            std::fwrite(bytes.data(), 1, bytes.size(), output);
        }
        return std::ferror(output) == 0;
    });
    series3Codes = nullptr;
    return written ? WebOutcome::converted : WebOutcome::outOfMemory;
}

WebOutcome beginConversion(std::uint8_t* data, std::size_t size) {
    if (looksLikeSeries3Sound(data, size)) {
        return size >= series3SoundHeaderSize ? beginSeries3(data, size) : WebOutcome::notCorrectFormat;
    }
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
    if (series3Codes != nullptr) {
        return stepSeries3();
    }
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

// What the `size` bytes at `data`, a file's first bytes, make it: a Record
// document (1), a Series 3 sound (2) or another file (0). Sixteen bytes are
// enough to tell. An EPOC document that is not a Record file (3) may hold
// voice notes.
std::uint32_t recwav_file_kind(const std::uint8_t* data, std::uint32_t size) {
    if (recwav::looksLikeRecordFile(data, size)) {
        return static_cast<std::uint32_t>(recwav::WebKind::record);
    }
    if (recwav::looksLikeEpocDocument(data, size)) {
        return static_cast<std::uint32_t>(recwav::WebKind::document);
    }
    return static_cast<std::uint32_t>(recwav::looksLikeSeries3Sound(data, size) ? recwav::WebKind::series3
                                                                                : recwav::WebKind::other);
}

// Ends the conversion under way, if any, and frees its last part.
void recwav_convert_end() {
    if (recwav::conversionInput != nullptr) {
        std::fclose(recwav::conversionInput);
        recwav::conversionInput = nullptr;
    }
    recwav::releasePart();
    recwav::series3Codes = nullptr;
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

// Begins a Record file of `count` samples of 8000 Hz mono sound to come, in
// A-law (coding 1) or ADPCM (coding 2, in wavrec's default blocks; coding 3
// with the best search, as wavrec --best), its sound header saying `repeats`
// and `gap` (microseconds) as wavrec's does.
void recwav_encode_begin(std::uint32_t count, std::uint32_t coding, std::uint32_t repeats, std::uint32_t gap) {
    recwav::beginRecording(count, recwav::settingsFor(coding, repeats, gap));
}

// Codes the next `count` samples: the bytes are the same however the sound
// is split, so that the page can show progress between parts.
void recwav_encode_part(const std::int16_t* samples, std::uint32_t count) {
    recwav::recordFits = recwav::recordFits && recwav::encodeRecord(recwav::recordEncoder, samples, count,
                                                                    recwav::recordBytes) == recwav::Status::ok;
}

// Finishes the Record file begun. Returns the address of the result, which
// stays valid until the next call or recwav_release_recording().
const recwav::WebRecording* recwav_encode_end() {
    recwav::finishRecording();
    return &recwav::recording;
}

// Codes `count` samples at once, as the three calls above.
const recwav::WebRecording* recwav_encode(const std::int16_t* samples, std::uint32_t count, std::uint32_t coding) {
    recwav_encode_begin(count, coding, 0, 0);
    recwav_encode_part(samples, count);
    return recwav_encode_end();
}

// Plans the ADPCM blocks of a sound as recwav_encode codes them (coding 2 or
// 3), its samples given a part at a time to recwav_plan_part, and the last
// blocks decided by recwav_plan_end. Each returns the lengths of the blocks it
// decided, one a word, valid until the next call; the blocks hold the samples
// given, in order, and do not depend on how they were split.
void recwav_plan_begin(std::uint32_t coding) {
    recwav::planEncoder = {};
    recwav::planEncoder.settings = recwav::settingsFor(coding, 0, 0).adpcm;
}

const recwav::WebBuffer* recwav_plan_part(const std::int16_t* samples, std::uint32_t count) {
    recwav::AdpcmSpan planned;
    recwav::planAdpcm(recwav::planEncoder, samples, count, planned);
    return recwav::offerPlan(planned);
}

const recwav::WebBuffer* recwav_plan_end() {
    recwav::AdpcmSpan planned;
    recwav::finishAdpcmPlan(recwav::planEncoder, planned);
    recwav::planEncoder = {};
    return recwav::offerPlan(planned);
}

// Codes one span of a plan: `blocks` blocks of the lengths at `lengths`,
// their samples one after another at `samples` (the span's first sample is
// its first block's). The result holds the span's bytes, to be joined in the
// plan's order and given to recwav_assemble_adpcm; valid until the next call.
const recwav::WebBuffer* recwav_code_span(const std::int16_t* samples, const std::uint32_t* lengths,
                                          std::uint32_t blocks, std::uint32_t coding) {
    recwav::spanBytes.clear();
    recwav::codeAdpcmBlocks(samples, lengths, blocks, recwav::settingsFor(coding, 0, 0).adpcm.search,
                            recwav::spanBytes);
    recwav::span = {recwav::address(recwav::spanBytes.data()), static_cast<std::uint32_t>(recwav::spanBytes.size())};
    return &recwav::span;
}

// The Record file whose blocks, of the `blocks` lengths at `lengths` (a
// plan's), are the `size` bytes at `sound`, every span's in order, with the
// sound header's `repeats` and `gap` as in recwav_encode_begin: the same as
// recwav_encode's, and checked as it is (`checked` is 0 when the bytes are
// not those blocks). Freed by recwav_release_recording().
const recwav::WebRecording* recwav_assemble_adpcm(const std::uint8_t* sound, std::uint32_t size,
                                                  const std::uint32_t* lengths, std::uint32_t blocks,
                                                  std::uint32_t repeats, std::uint32_t gap) {
    recwav::assembleRecording(sound, size, lengths, blocks,
                              recwav::settingsFor(static_cast<std::uint32_t>(recwav::WebCoding::adpcm), repeats, gap));
    return &recwav::recording;
}

// Frees the plan and the last span coded.
void recwav_release_plan() {
    recwav::planEncoder = {};
    recwav::planBlocks = {};
    recwav::spanBytes = {};
    recwav::plan = {};
    recwav::span = {};
}

// Finds the voice notes embedded in the document of `size` bytes at `data`
// and returns how many there are; recwav_note(index) then gives each as the
// Record file recscan converts of it, until recwav_release_notes().
std::uint32_t recwav_find_notes(const std::uint8_t* data, std::uint32_t size) {
    recwav::notes.clear();
    for (const recwav::FoundRecording& found : recwav::findRecordings(data, size)) {
        recwav::notes.push_back(recwav::recordFileOf(data, 0, found));
    }
    return static_cast<std::uint32_t>(recwav::notes.size());
}

// The Record file of the note at `index` of those found, or an empty buffer.
const recwav::WebBuffer* recwav_note(std::uint32_t index) {
    recwav::note = {};
    if (index < recwav::notes.size()) {
        const std::vector<std::uint8_t>& file = recwav::notes[index];
        recwav::note = {recwav::address(file.data()), static_cast<std::uint32_t>(file.size())};
    }
    return &recwav::note;
}

// Frees the notes found.
void recwav_release_notes() {
    recwav::notes = {};
    recwav::note = {};
}

// Frees the last Record file made.
void recwav_release_recording() {
    recwav::recordBytes = {};
    recwav::recordEncoder = {};
    recwav::recording = {};
}

}  // extern "C"
