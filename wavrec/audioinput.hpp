// SPDX-License-Identifier: MIT
// wavrec's audio input: any sound file that libsndfile reads, a Series 3
// sound, or a Record file read with this project's own reader, given out as
// 16-bit mono samples at 8000 per second, a bounded chunk at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <recwav/recordfile.hpp>

namespace recwav {

// The file and its decoding (libsndfile, libsoxr or our own reader), which
// only audioinput.cpp sees.
struct AudioSource;
struct AudioSourceDeleter {
    void operator()(AudioSource* source) const;
};

enum class InputKind {
    record,     // a Record file, decoded by our own reader: 8000 Hz mono as it stands
    untouched,  // 8000 Hz mono integer samples through libsndfile, read as 16-bit samples
    converted,  // 8000 Hz, several channels or floating-point samples: averaged, then clamped
    resampled,  // any other rate: averaged, resampled by libsoxr, then clamped
};

struct AudioInput {
    InputKind kind = InputKind::record;
    std::uint32_t sampleRate = 0;  // of the file, before any resampling
    int channels = 0;
    // What a Series 3 sound's header says of playing it, in the Record
    // file's terms: plays minus one, and the pause after it in microseconds.
    std::optional<std::uint16_t> repeats;
    std::optional<std::uint32_t> gap;
    // A Record file's own header fields (kind record only).
    SoundHeaderFields recordFields;
    // The samples at 8000 Hz it should give, where the file says: for the
    // progress line only, never trusted for the coding.
    std::optional<std::uint64_t> length;

    std::string error;            // the cause, once a read failed
    std::uint64_t clipped = 0;    // samples clamped to the 16-bit range on conversion from float
    std::uint64_t nonFinite = 0;  // float samples not a number (made silence) or infinite (full scale)
    bool ended = false;
    std::unique_ptr<AudioSource, AudioSourceDeleter> source;
};

struct OpenFailure {
    bool opened = false;  // the file opened, but is not a sound wavrec can read
    std::string cause;
    bool tooLong = false;  // a sound, but longer than a Record file holds

    // "cannot open", "cannot read" or "cannot convert", as the case is.
    const char* verb() const { return tooLong ? "cannot convert " : opened ? "cannot read " : "cannot open "; }
};

// Opens `path`. Returns null and fills `failure` when it is missing,
// unreadable, not a sound file, or a Psion file our reader does not accept.
// Psion 5 files never reach libsndfile.
std::unique_ptr<AudioInput> openAudioInput(const char* path, OpenFailure& failure);

// Writes up to `wanted` samples (8000 Hz, mono) to `out` and returns how many;
// fewer than asked means the end, or a failure when `input.error` is set.
std::size_t readAudio(AudioInput& input, std::int16_t* out, std::size_t wanted);

// The samples the input holds in its buffers between reads: bounded, whatever
// the length or the rate of the file.
std::size_t samplesHeld(const AudioInput& input);

}  // namespace recwav
