// SPDX-License-Identifier: MIT
#include "wavrec/audioinput.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <recwav/endian.hpp>

namespace recwav {

namespace {

// Frames read from libsndfile at a time, and samples asked of libsoxr at a
// time: memory stays this size whatever the length or the rate of the input.
constexpr std::size_t framesPerRead = 4096;
constexpr std::size_t resampledPerCall = 4096;

// Psion formats must never reach libsndfile: every Psion 5 file starts with
// the word 0x10000037, and Series 3 sound files are refused for now.
bool isPsionFile(const std::uint8_t* head, std::size_t length) {
    return (length >= 4 && loadLe32(head) == identificationWords[0]) || looksLikeSeries3Sound(head, length);
}

// Codings whose samples are not integers: libsndfile would hand them out as
// 16-bit values unscaled, so they go the way of floats.
bool isFloatCoded(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return true;
        default:
            return false;
    }
}

// Full scale is 1.0 in libsndfile's floats; beyond it the sample is clamped.
std::int16_t toSample(float value, std::uint64_t& clipped) {
    const float scaled = value * 32768.0F;
    if (scaled >= 32767.5F) {
        ++clipped;
        return 32767;
    }
    if (scaled < -32768.5F || std::isnan(scaled)) {
        ++clipped;
        return -32768;
    }
    return static_cast<std::int16_t>(std::lrint(scaled));
}

std::unique_ptr<AudioInput> openRecord(std::unique_ptr<std::FILE, StdioCloser> file, OpenFailure& failure) {
    auto input = std::make_unique<AudioInput>();
    if (parseRecordFile(file.get(), input->stream) == -1) {
        failure = {true, "a Psion file, but not a Record file wavrec can read"};
        return nullptr;
    }
    input->kind = InputKind::record;
    input->sampleRate = recordSampleRate;
    input->channels = 1;
    input->recordFile = std::move(file);
    input->stream.file = input->recordFile.get();
    return input;
}

std::unique_ptr<AudioInput> openSound(std::unique_ptr<std::FILE, StdioCloser> file, OpenFailure& failure) {
    // The very file that was checked goes to libsndfile, from its start, and
    // not the path, which could name another file by now.
    const int descriptor = dup(fileno(file.get()));
    file.reset();
    if (descriptor < 0 || lseek(descriptor, 0, SEEK_SET) != 0) {
        failure = {false, std::strerror(errno)};
        if (descriptor >= 0) {
            close(descriptor);
        }
        return nullptr;
    }
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileCloser> sound(sf_open_fd(descriptor, SFM_READ, &info, SF_TRUE));
    if (!sound) {
        failure = {true, std::string("not a sound file wavrec can read (") + sf_strerror(nullptr) + ")"};
        return nullptr;
    }
    // A last guard: the check of the first bytes should have caught it already.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WVE) {
        failure = {true, "a Psion file, but not a Record file wavrec can read"};
        return nullptr;
    }
    if (info.samplerate <= 0 || info.channels <= 0) {
        failure = {true, "the sound file declares no sample rate or no channels"};
        return nullptr;
    }
    auto input = std::make_unique<AudioInput>();
    input->sampleRate = static_cast<std::uint32_t>(info.samplerate);
    input->channels = info.channels;
    if (input->sampleRate == recordSampleRate && info.channels == 1 && !isFloatCoded(info.format)) {
        // 16-bit samples come through as they are; wider ones lose their low bits.
        input->kind = InputKind::untouched;
    } else {
        input->kind = input->sampleRate == recordSampleRate ? InputKind::converted : InputKind::resampled;
        input->frames.resize(framesPerRead * static_cast<std::size_t>(info.channels));
        input->mono.resize(framesPerRead);
    }
    if (input->kind == InputKind::resampled) {
        soxr_error_t refused = nullptr;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        input->resampler.reset(soxr_create(info.samplerate, recordSampleRate, 1, &refused, nullptr, &quality, nullptr));
        if (refused != nullptr) {
            failure = {true, std::string("cannot resample it (") + refused + ")"};
            return nullptr;
        }
        input->resampledOut.resize(resampledPerCall);
    }
    input->sound = std::move(sound);
    return input;
}

std::size_t readRecord(AudioInput& input, std::int16_t* out, std::size_t wanted) {
    std::size_t produced = 0;
    while (produced < wanted && !input.ended) {
        const auto asked = static_cast<std::uint32_t>(std::min<std::size_t>(wanted - produced, 1U << 16));
        const std::uint32_t got = input.stream.decode(asked, out + produced, input.stream);
        produced += got;
        if (got < asked) {
            input.ended = true;
            if (std::ferror(input.recordFile.get()) != 0) {
                input.error = "read error";
            }
        }
    }
    return produced;
}

void appendConverted(AudioInput& input, const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        input.ready.push_back(toSample(samples[i], input.clipped));
    }
}

// Reads the next frames and averages their channels into `mono`; how many,
// or -1 on failure.
sf_count_t readMono(AudioInput& input) {
    const sf_count_t frames =
        sf_readf_float(input.sound.get(), input.frames.data(), static_cast<sf_count_t>(framesPerRead));
    if (frames <= 0 && sf_error(input.sound.get()) != SF_ERR_NO_ERROR) {
        input.error = sf_strerror(input.sound.get());
        return -1;
    }
    const auto count = static_cast<std::size_t>(std::max<sf_count_t>(frames, 0));
    const auto channels = static_cast<std::size_t>(input.channels);
    for (std::size_t frame = 0; frame < count; ++frame) {
        const float* first = input.frames.data() + frame * channels;
        float sum = 0;
        for (std::size_t channel = 0; channel < channels; ++channel) {
            sum += first[channel];
        }
        input.mono[frame] = sum / static_cast<float>(channels);
    }
    return static_cast<sf_count_t>(count);
}

// Puts the next samples into `ready`, at most `resampledPerCall` of them when
// resampling, however few input frames make them: a 1 Hz input gives 8000
// samples a frame. False at the end of the input or on failure.
bool refill(AudioInput& input) {
    input.ready.clear();
    input.readyPos = 0;
    if (input.kind == InputKind::converted) {
        const sf_count_t count = readMono(input);
        if (count <= 0) {
            return false;
        }
        appendConverted(input, input.mono.data(), static_cast<std::size_t>(count));
        return true;
    }

    // Frames are read only once libsoxr has taken all of the last read, so
    // none is dropped. An empty read tells it the input has ended, and from
    // then on it gives out what it holds until it has no more.
    if (input.monoTaken == input.monoCount && !input.inputEnded) {
        const sf_count_t count = readMono(input);
        if (count < 0) {
            return false;
        }
        input.monoCount = static_cast<std::size_t>(count);
        input.monoTaken = 0;
        input.inputEnded = count == 0;
    }
    if (input.flushed) {
        return false;
    }
    std::size_t used = 0;
    std::size_t made = 0;
    const soxr_error_t failure = soxr_process(
        input.resampler.get(), input.inputEnded ? nullptr : input.mono.data() + input.monoTaken,
        input.monoCount - input.monoTaken, &used, input.resampledOut.data(), input.resampledOut.size(), &made);
    if (failure != nullptr) {
        input.error = std::string("resampling failed (") + failure + ")";
        return false;
    }
    if (!input.inputEnded && used == 0 && made == 0) {
        // It would spin here for ever, or lose the frames it will not take.
        input.error = "resampling failed (the resampler takes no more input)";
        return false;
    }
    input.monoTaken += used;
    appendConverted(input, input.resampledOut.data(), made);
    input.flushed = input.inputEnded && made == 0;
    return !input.flushed;
}

std::size_t readSound(AudioInput& input, std::int16_t* out, std::size_t wanted) {
    if (input.kind == InputKind::untouched) {
        const sf_count_t got = sf_read_short(input.sound.get(), out, static_cast<sf_count_t>(wanted));
        if (got < static_cast<sf_count_t>(wanted)) {
            input.ended = true;
            if (sf_error(input.sound.get()) != SF_ERR_NO_ERROR) {
                input.error = sf_strerror(input.sound.get());
            }
        }
        return static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    }
    std::size_t produced = 0;
    while (produced < wanted && !input.ended) {
        if (input.readyPos == input.ready.size() && !refill(input)) {
            input.ended = true;
            break;
        }
        const std::size_t take = std::min(wanted - produced, input.ready.size() - input.readyPos);
        std::copy_n(input.ready.begin() + static_cast<std::ptrdiff_t>(input.readyPos), take, out + produced);
        input.readyPos += take;
        produced += take;
    }
    return produced;
}

}  // namespace

std::unique_ptr<AudioInput> openAudioInput(const char* path, OpenFailure& failure) {
    // Opened once: what is checked here is what is read.
    std::unique_ptr<std::FILE, StdioCloser> file(std::fopen(path, "rb"));
    if (!file) {
        failure = {false, std::strerror(errno)};
        return nullptr;
    }
    struct stat info {};
    if (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
        failure = {false, std::strerror(S_ISDIR(info.st_mode) ? EISDIR : errno)};
        return nullptr;
    }
    std::array<std::uint8_t, 16> head{};
    const std::size_t length = std::fread(head.data(), 1, head.size(), file.get());
    if (std::ferror(file.get()) != 0) {
        failure = {false, std::strerror(errno)};
        return nullptr;
    }
    if (isPsionFile(head.data(), length)) {
        std::rewind(file.get());
        return openRecord(std::move(file), failure);
    }
    return openSound(std::move(file), failure);
}

std::size_t readAudio(AudioInput& input, std::int16_t* out, std::size_t wanted) {
    if (input.ended) {
        return 0;
    }
    return input.kind == InputKind::record ? readRecord(input, out, wanted) : readSound(input, out, wanted);
}

}  // namespace recwav
