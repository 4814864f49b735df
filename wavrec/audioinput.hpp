// SPDX-License-Identifier: MIT
// wavrec's audio input: any sound file that libsndfile reads, or a Record
// file read with this project's own reader, given out as 16-bit mono samples
// at 8000 per second, a bounded chunk at a time.
#pragma once

#include <sndfile.h>
#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <recwav/recordfile.hpp>

namespace recwav {

struct StdioCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct SndfileCloser {
    void operator()(SNDFILE* sound) const { sf_close(sound); }
};
struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
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
    std::string error;          // the cause, once a read failed
    std::uint64_t clipped = 0;  // samples clamped to the 16-bit range on conversion from float
    bool ended = false;

    // A Record file.
    std::unique_ptr<std::FILE, StdioCloser> recordFile;
    SoundStream stream;

    // Anything else.
    std::unique_ptr<SNDFILE, SndfileCloser> sound;
    std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter> resampler;
    std::vector<float> frames;        // interleaved, as read
    std::vector<float> mono;          // averaged
    std::size_t monoCount = 0;        // frames in `mono`
    std::size_t monoTaken = 0;        // of them, given to libsoxr
    bool inputEnded = false;          // libsndfile has no more frames
    bool flushed = false;             // nor libsoxr any more samples
    std::vector<float> resampledOut;  // libsoxr's output
    std::vector<std::int16_t> ready;  // converted, not yet handed out
    std::size_t readyPos = 0;
};

struct OpenFailure {
    bool opened = false;  // the file opened, but is not a sound wavrec can read
    std::string cause;
};

// Opens `path`. Returns null and fills `failure` when it is missing,
// unreadable, not a sound file, or a Psion file our reader does not accept.
// Psion files never reach libsndfile.
std::unique_ptr<AudioInput> openAudioInput(const char* path, OpenFailure& failure);

// Writes up to `wanted` samples (8000 Hz, mono) to `out` and returns how many;
// fewer than asked means the end, or a failure when `input.error` is set.
std::size_t readAudio(AudioInput& input, std::int16_t* out, std::size_t wanted);

}  // namespace recwav
