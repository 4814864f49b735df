// SPDX-License-Identifier: MIT
// The sample encoders: samples in, codes out, over memory. Each is the inverse
// of the decoder of the same coding, and is checked against that decoder. And
// the one encoder of whole Record files that every writer calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/recordfile.hpp>
#include <recwav/status.hpp>

namespace recwav {

// ---- A-law ----

// The code whose decoded value is nearest to `sample`; a sample halfway
// between two codes' values takes the one of smaller magnitude, and 0 the
// positive code (the decoder has no code for 0). Every code re-encodes to
// itself.
std::uint8_t encodeALawSample(std::int16_t sample);

void encodeALawSamples(const std::int16_t* samples, std::size_t count, std::uint8_t* codes);

// ---- IMA ADPCM in blocks ----
//
// Every block restarts the decoder at predictor 0 and step index 0, so a
// restart costs quality where the sound is loud. By default the encoder
// chooses the end of each block together with the end of the next, so that
// their restarts cost least: a restart's cost is the error of a fresh
// decoder's nearest codes over the few samples after it, and a block takes
// an even length from half of maxBlock up to it, or maxBlock itself. The codes
// of a block are then chosen by a search over many decoder states at once
// rather than one nearest code at a time.

// maxBlock runs from 1 to this, though a block header could count up to
// maxCompactCount. The encoder holds about 21 bytes per sample of maxBlock
// (the window and the restart costs in it); the trail of its search over at
// most 2048 samples (392 bytes a sample by default, 612 for best, 2.2 KB for
// the widest search); each coding thread a table of the states met at a
// sample (0.8 MB by default, 2.5 MB for best, 3.4 MB for the widest); and,
// for blocks longer than 2048 samples, the states saved every 2048 (up to 9
// bytes a sample, for the widest search).
inline constexpr std::uint32_t maxAdpcmBlockLimit = 1U << 20;

// Samples past a candidate block end that the choice of the end looks at, at
// most.
inline constexpr std::uint32_t adpcmLookahead = 16;

// How the codes of a block are chosen, from the fastest to the closest.
// Figures from bench/encoders.sh (bench/RESULTS.md).
enum class AdpcmSearch : std::uint8_t {
    // Each code the one whose decoded value is nearest (with fixedBlocks: the
    // plain encoder the others are measured against).
    nearest,
    // A beam of 8 decoder states, with the block ends of release 1.0: the
    // default until then, kept to measure the others against.
    narrow,
    // The default: 18 states, merged where they share a step and a bin of
    // the predictor a half to the whole of that step wide, each trying the
    // two codes either side of the sample, and the codes that raise the step
    // where they clamp, before a sudden onset and where the sound moves
    // faster than the step can follow; 0.9 to 2.0 dB above narrow on speech,
    // at about a third of its speed (some 200 times real time).
    standard,
    // 128 states, and before an onset the cheapest of every step index on
    // either side of the sample, each trying those two and the codes that
    // raise the step: 1.5 to 2.3 dB above narrow on speech, some 20 times
    // slower than standard (12 to 24 times real time on one core).
    best,
    // 1024 states and the cheapest of every step index, trying every code:
    // the benchmark's reference, slower than real time.
    widest,
};

struct AdpcmSettings {
    std::uint32_t maxBlock = 800;  // samples in a block, at most: 1 to maxAdpcmBlockLimit
    bool fixedBlocks = false;      // every block maxBlock samples long, but the last
    AdpcmSearch search = AdpcmSearch::standard;
};

// badSetting where maxBlock or the search is out of its range, else ok.
Status checkAdpcmSettings(const AdpcmSettings& settings);

// The most samples an encoder with these settings holds at once: the longest
// block and what the choice of its end looks at past it.
std::size_t adpcmWindow(const AdpcmSettings& settings);

// Chooses the codes for `count` samples, starting from the decoder in
// `state`, by `search`, and leaves in `state` the decoder after them. Returns
// their squared error. Codes are one a byte, in their low nibble.
std::uint64_t searchAdpcmCodes(const std::int16_t* samples, std::size_t count, AdpcmState& state, AdpcmSearch search,
                               std::uint8_t* codes);

// Codes a stream of samples into ADPCM blocks a window at a time, so that
// memory stays bounded whatever the length of the sound: `pending` never
// holds more than adpcmWindow(settings) samples. Set `settings` before the
// first call and leave them until finishAdpcm.
struct AdpcmEncoder {
    AdpcmSettings settings;
    std::vector<std::int16_t> pending;  // samples given but not yet in a block
    // The planner's memory: the restart costs known of the pending samples,
    // and a window of positions it slides over them.
    std::vector<std::int64_t> restartCosts;
    std::vector<std::size_t> slide;
};

// Takes `count` more samples and appends to `out` every block it can now
// decide, each with its block header, as a Record file holds them; appends to
// `decoded`, when given, the samples those blocks decode to. Returns the number
// of samples in the blocks appended. The bytes do not depend on how the
// samples are split between calls. With settings that checkAdpcmSettings
// refuses it codes nothing and returns 0.
std::size_t encodeAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count,
                        std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded = nullptr);

// Codes every sample still pending, as above.
std::size_t finishAdpcm(AdpcmEncoder& encoder, std::vector<std::uint8_t>& out,
                        std::vector<std::int16_t>* decoded = nullptr);

// ---- ADPCM blocks planned first, then coded anywhere ----
//
// The encoder decides where blocks end from the samples alone; each block's
// codes then depend on its own samples, since each restarts the decoder. So
// the blocks can be planned in order and coded a span at a time on any
// thread, and the bytes are encodeAdpcm's.

// Blocks planned and not yet coded: their samples one after another, and the
// length of each.
struct AdpcmSpan {
    std::vector<std::int16_t> samples;
    std::vector<std::uint32_t> blocks;
};

// As encodeAdpcm and finishAdpcm, but appends each block decided to `span`
// rather than coding it. Return the number of samples planned: none with
// settings that checkAdpcmSettings refuses.
std::size_t planAdpcm(AdpcmEncoder& encoder, const std::int16_t* samples, std::size_t count, AdpcmSpan& span);
std::size_t finishAdpcmPlan(AdpcmEncoder& encoder, AdpcmSpan& span);

// Codes blocks of the given lengths, the samples of one after those of the
// last, by `search`, appending each block with its header to `out` and, when
// given, what the blocks decode to to `decoded`. Pure: any thread may code any
// span.
void codeAdpcmBlocks(const std::int16_t* samples, const std::uint32_t* blocks, std::size_t blockCount,
                     AdpcmSearch search, std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded = nullptr);

// The fewest samples in any block but the last: with it, the most bytes a
// sound can take.
std::size_t adpcmShortestBlock(const AdpcmSettings& settings);

// ---- Whole Record files ----
//
// Samples in, the file's bytes out a chunk at a time, and at the end the
// bytes that then stand at the file's start, with the declared count and the
// byte count of the coded sound settled. wavrec and the page both write
// through it.

struct RecordSettings {
    std::uint32_t codec = codecALaw;  // or codecAdpcm
    AdpcmSettings adpcm;              // ADPCM only
    SoundHeaderFields fields = defaultSoundHeaderFields;
};

// A running digest of samples, so that a file can be checked against what was
// meant without holding the samples.
inline constexpr std::uint64_t sampleDigestStart = 0xCBF29CE484222325;
std::uint64_t digestSamples(std::uint64_t digest, const std::int16_t* samples, std::size_t count);

// What a finished Record file must decode to.
struct RecordSummary {
    std::uint64_t samples = 0;                 // coded
    std::uint64_t soundBytes = 0;              // behind the sound header
    std::uint64_t digest = sampleDigestStart;  // of the samples a decoder makes of the codes
};

// Set `settings` before the first call and leave them until finishRecord.
struct RecordEncoder {
    RecordSettings settings;
    RecordSummary summary;
    std::uint64_t given = 0;  // samples taken, coded or still pending
    bool started = false;
    AdpcmEncoder adpcm;
    std::vector<std::int16_t> decoded;  // scratch: a block's samples as decoded
    AdpcmSpan planned;                  // scratch: the blocks planned in a call
};

// Appends the next bytes of the file to `out`: on the first call the bytes
// before the coded sound (both counts 0 until settled), then the codes of
// every sample the encoder can now decide. Appends to `decoded`, when given,
// the samples those codes decode to. Returns ok; tooLong once the sound is too
// long for a Record file (more than maxDeclaredCount samples, or codes past 4
// GiB), and the file is then of no use; or badSetting for ADPCM settings out
// of range.
Status encodeRecord(RecordEncoder& encoder, const std::int16_t* samples, std::size_t count,
                    std::vector<std::uint8_t>& out, std::vector<std::int16_t>* decoded = nullptr);

// Appends the codes of the samples still pending (and the preamble, for a
// sound of no samples) and returns the bytes to write over the file's first
// recordPreambleSize bytes. The same statuses as above.
Status finishRecord(RecordEncoder& encoder, std::vector<std::uint8_t>& out,
                    std::array<std::uint8_t, recordPreambleSize>& settled,
                    std::vector<std::int16_t>* decoded = nullptr);

// ---- Whole Record files coded on several threads ----
//
// encodeRecord and finishRecord in three steps, with their bytes: the samples
// planned in order, each span then coded on any thread, and the coded spans
// taken in order.

struct RecordSpan {
    AdpcmSpan planned;                  // for A-law, the samples alone
    std::vector<std::uint8_t> bytes;    // the codes
    std::vector<std::int16_t> decoded;  // what they decode to
};

// Appends to `span` what can now be planned of `count` more samples, or
// (finishRecordPlan) all that is still pending. Ok, or badSetting (planning
// nothing) for ADPCM settings out of range.
Status planRecord(RecordEncoder& encoder, const std::int16_t* samples, std::size_t count, RecordSpan& span);
Status finishRecordPlan(RecordEncoder& encoder, RecordSpan& span);

// Codes the span's plan into its bytes and decoded samples. Pure.
void codeRecordSpan(const RecordSettings& settings, RecordSpan& span);

// Appends the file's next bytes to `out`: on the first call the bytes before
// the coded sound, then the span's codes; appends to `decoded`, when given,
// what they decode to. Ok, or tooLong once the sound is too long, as
// encodeRecord.
Status takeRecordSpan(RecordEncoder& encoder, const RecordSpan& span, std::vector<std::uint8_t>& out,
                      std::vector<std::int16_t>* decoded = nullptr);

// Once the last span is taken: the bytes to write over the file's first
// recordPreambleSize bytes. Ok, or tooLong.
Status settleRecord(const RecordEncoder& encoder, std::array<std::uint8_t, recordPreambleSize>& settled);

// At most the bytes of a whole Record file of `count` samples.
std::size_t recordFileBound(std::size_t count, const RecordSettings& settings);

// Reads `file` from its start with the project's own reader and decoders and
// compares it with what was meant: ok when it holds exactly that; else
// readFailed (errno), notAccepted or differs, with what differs in `detail`.
Status checkRecordFile(std::FILE* file, const RecordSummary& meant, std::string& detail);

}  // namespace recwav
