// SPDX-License-Identifier: MIT
#include "wavrec/audioinput.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>
#include <recwav/soundio.hpp>

namespace recwav {

namespace {

struct StdioCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct SndfileCloser {
    void operator()(SNDFILE* sound) const { sf_close(sound); }
};
struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

}  // namespace

struct AudioSource {
    // A Record file.
    std::unique_ptr<std::FILE, StdioCloser> recordFile;
    SoundStream stream;

    // Anything else.
    std::unique_ptr<std::FILE, StdioCloser> soundFile;
    SoundFileReads reads;  // of soundFile, for libsndfile
    std::unique_ptr<SNDFILE, SndfileCloser> sound;
    std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter> resampler;
    std::vector<float> frames;        // interleaved, as read
    std::vector<std::int16_t> pcm;    // the same, of 16-bit samples, read as they are
    std::vector<float> mono;          // averaged
    std::size_t monoCount = 0;        // frames in `mono`
    std::size_t monoTaken = 0;        // of them, given to libsoxr
    bool inputEnded = false;          // libsndfile has no more frames
    bool flushed = false;             // nor libsoxr any more samples
    std::vector<float> resampledOut;  // libsoxr's output
    std::vector<std::int16_t> ready;  // converted, not yet handed out
    std::size_t readyPos = 0;
};

void AudioSourceDeleter::operator()(AudioSource* source) const {
    delete source;
}

namespace {

// Frames read from libsndfile at a time, and samples asked of libsoxr at a
// time: memory stays this size whatever the length or the rate of the input.
constexpr std::size_t framesPerRead = 4096;
constexpr std::size_t resampledPerCall = 4096;

// Psion 5 files must never reach libsndfile: every one starts with the word
// 0x10000037. Series 3 sounds do, for libsndfile reads them.
bool isPsion5File(const std::uint8_t* head, std::size_t length) {
    return length >= 4 && loadLe32(head) == identificationWords[0];
}

// A Series 3 sound's trailing silence is counted in 1/32 s.
constexpr std::uint32_t microsecondsPerSilenceUnit = 31250;

void carrySeries3Fields(const std::uint8_t* head, AudioInput& input) {
    const std::uint16_t plays = loadBe16(head + series3PlaysOffset);
    input.repeats = static_cast<std::uint16_t>(std::max<std::uint16_t>(plays, 1) - 1);
    input.gap = std::uint32_t{loadBe16(head + series3SilenceOffset)} * microsecondsPerSilenceUnit;
}

// What went wrong: the system's word where a read failed, else libsndfile's.
std::string soundError(SNDFILE* sound, const SoundFileReads& reads) {
    if (reads.error != 0) {
        return std::strerror(reads.error);
    }
    std::string said = std::string("libsndfile: ") + sf_strerror(sound);
    switch (sf_error(sound)) {
        case SF_ERR_UNRECOGNISED_FORMAT:
            return "not a sound file wavrec can read (" + said + ")";
        case SF_ERR_SYSTEM:
            return said;
        default:
            // Among them a sample rate of 0, or a float file that declares
            // 16 bits: libsndfile's own words say little of that.
            return "its header is damaged or declares a format libsndfile cannot read (" + said + ")";
    }
}

std::unique_ptr<AudioInput> newInput() {
    auto input = std::make_unique<AudioInput>();
    input->source.reset(new AudioSource);
    return input;
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

// The containers whose 16-bit samples libsndfile gives as floats of exactly
// sample / 32768 (others, such as SDS, pack bits beyond the 16).
bool plainSixteenBits(int container) {
    switch (container) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_AIFF:
        case SF_FORMAT_AU:
        case SF_FORMAT_RAW:
        case SF_FORMAT_W64:
        case SF_FORMAT_CAF:
        case SF_FORMAT_RF64:
        case SF_FORMAT_FLAC:
            return true;
        default:
            return false;
    }
}

// A sample that is not a number becomes silence, and an infinite one full
// scale, before any mixing or resampling could spread it over its
// neighbours.
float finite(float value, std::uint64_t& nonFinite) {
    if (std::isfinite(value)) {
        return value;
    }
    ++nonFinite;
    return std::isnan(value) ? 0.0F : value > 0 ? 32767.0F / 32768.0F : -1.0F;
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
    auto input = newInput();
    if (parseRecordFile(file.get(), input->source->stream) == -1) {
        failure = {true, std::ferror(file.get()) != 0 ? std::strerror(errno)
                                                      : "a Psion file, but not a Record file wavrec can read"};
        return nullptr;
    }
    input->kind = InputKind::record;
    input->sampleRate = recordSampleRate;
    input->channels = 1;
    const SoundStream& stream = input->source->stream;
    input->recordFields = {stream.hdrShort, stream.hdrByte, stream.hdrLong};
    input->length = stream.sampleCount;
    input->source->recordFile = std::move(file);
    input->source->stream.file = input->source->recordFile.get();
    return input;
}

// The rest of opening a sound file, once libsndfile has taken it.
std::unique_ptr<AudioInput> finishOpeningSound(std::unique_ptr<AudioInput> input,
                                               std::unique_ptr<SNDFILE, SndfileCloser> sound, const SF_INFO& info,
                                               OpenFailure& failure) {
    if (info.samplerate <= 0 || info.channels <= 0) {
        failure = {true, "the sound file declares no sample rate or no channels"};
        return nullptr;
    }
    // The length is known at once where the file says it: a sound too long
    // for a Record file is refused before anything is written.
    if (info.frames > 0 && info.frames != SF_COUNT_MAX) {
        const auto frames = static_cast<std::uint64_t>(info.frames);
        if (frames > std::numeric_limits<std::uint64_t>::max() / recordSampleRate ||
            frames * recordSampleRate / static_cast<std::uint64_t>(info.samplerate) > maxDeclaredCount) {
            failure = {true,
                       "too long for a Record file (" + std::to_string(frames) + " frames at " +
                           std::to_string(info.samplerate) + " Hz make more than 4294967294 samples at 8000 Hz)",
                       true};
            return nullptr;
        }
        input->length = frames * recordSampleRate / static_cast<std::uint64_t>(info.samplerate);
    }
    input->sampleRate = static_cast<std::uint32_t>(info.samplerate);
    input->channels = info.channels;
    if (input->sampleRate == recordSampleRate && info.channels == 1 && !isFloatCoded(info.format)) {
        // 16-bit samples come through as they are; wider ones lose their low bits.
        input->kind = InputKind::untouched;
    } else {
        input->kind = input->sampleRate == recordSampleRate ? InputKind::converted : InputKind::resampled;
        // 16-bit samples are read as they are and mixed here, to the same
        // floats as libsndfile's at a fraction of the work: each is a whole
        // number of 2^-15, and their sum exact.
        const bool pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && info.channels <= 256 &&
                           plainSixteenBits(info.format & SF_FORMAT_TYPEMASK);
        const std::size_t room = framesPerRead * static_cast<std::size_t>(info.channels);
        if (pcm16) {
            input->source->pcm.resize(room);
        } else {
            input->source->frames.resize(room);
        }
        input->source->mono.resize(framesPerRead);
    }
    if (input->kind == InputKind::resampled) {
        soxr_error_t refused = nullptr;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        input->source->resampler.reset(
            soxr_create(info.samplerate, recordSampleRate, 1, &refused, nullptr, &quality, nullptr));
        if (refused != nullptr) {
            failure = {true, std::string("cannot resample it (") + refused + ")"};
            return nullptr;
        }
        input->source->resampledOut.resize(resampledPerCall);
    }
    input->source->sound = std::move(sound);
    return input;
}

std::unique_ptr<AudioInput> openSound(std::unique_ptr<std::FILE, StdioCloser> file, OpenFailure& failure) {
    // The very file that was checked goes to libsndfile, and not the path,
    // which could name another file by now; through our own reads, so that a
    // failed one is known for what it is, whatever libsndfile makes of the
    // bytes it did not get.
    auto input = newInput();
    SoundFileReads& reads = input->source->reads;
    reads.fd = fileno(file.get());
    struct stat info {};
    if (fstat(reads.fd, &info) != 0) {
        failure = {false, std::strerror(errno)};
        return nullptr;
    }
    reads.length = S_ISREG(info.st_mode) ? info.st_size : lseek(reads.fd, 0, SEEK_END);
    input->source->soundFile = std::move(file);
    SF_INFO format{};
    SF_VIRTUAL_IO io = soundFileReadsIo();
    std::unique_ptr<SNDFILE, SndfileCloser> sound(sf_open_virtual(&io, SFM_READ, &format, &reads));
    // A read that failed while libsndfile took in the header may leave it
    // open all the same.
    if (!sound || sf_error(sound.get()) != SF_ERR_NO_ERROR || reads.error != 0) {
        failure = {true, soundError(sound.get(), reads)};
        return nullptr;
    }
    return finishOpeningSound(std::move(input), std::move(sound), format, failure);
}

std::size_t readRecord(AudioInput& input, std::int16_t* out, std::size_t wanted) {
    std::size_t produced = 0;
    while (produced < wanted && !input.ended) {
        const auto asked = static_cast<std::uint32_t>(std::min<std::size_t>(wanted - produced, 1U << 16));
        const std::uint32_t got = input.source->stream.decode(asked, out + produced, input.source->stream);
        produced += got;
        if (got < asked) {
            input.ended = true;
            if (std::ferror(input.source->recordFile.get()) != 0) {
                input.error = std::strerror(errno);
            }
        }
    }
    return produced;
}

void appendConverted(AudioInput& input, const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        input.source->ready.push_back(toSample(samples[i], input.clipped));
    }
}

// Reads the next frames and averages their channels into `mono`; how many,
// or -1 on failure.
sf_count_t readMono(AudioInput& input) {
    AudioSource& source = *input.source;
    const bool pcm16 = !source.pcm.empty();
    const sf_count_t frames =
        pcm16 ? sf_readf_short(source.sound.get(), source.pcm.data(), static_cast<sf_count_t>(framesPerRead))
              : sf_readf_float(source.sound.get(), source.frames.data(), static_cast<sf_count_t>(framesPerRead));
    if (sf_error(source.sound.get()) != SF_ERR_NO_ERROR || source.reads.error != 0) {
        input.error = soundError(source.sound.get(), source.reads);
        return -1;
    }
    const auto count = static_cast<std::size_t>(std::max<sf_count_t>(frames, 0));
    const auto channels = static_cast<std::size_t>(input.channels);
    if (pcm16) {
        for (std::size_t frame = 0; frame < count; ++frame) {
            const std::int16_t* first = source.pcm.data() + frame * channels;
            std::int32_t sum = 0;
            for (std::size_t channel = 0; channel < channels; ++channel) {
                sum += first[channel];
            }
            source.mono[frame] = static_cast<float>(sum) * (1.0F / 32768.0F) / static_cast<float>(channels);
        }
        return static_cast<sf_count_t>(count);
    }
    for (std::size_t frame = 0; frame < count; ++frame) {
        const float* first = source.frames.data() + frame * channels;
        float sum = 0;
        for (std::size_t channel = 0; channel < channels; ++channel) {
            sum += finite(first[channel], input.nonFinite);
        }
        source.mono[frame] = sum / static_cast<float>(channels);
    }
    return static_cast<sf_count_t>(count);
}

// Puts the next samples into `ready`, at most `resampledPerCall` of them when
// resampling, however few input frames make them: a 1 Hz input gives 8000
// samples a frame. False at the end of the input or on failure.
bool refill(AudioInput& input) {
    input.source->ready.clear();
    input.source->readyPos = 0;
    if (input.kind == InputKind::converted) {
        const sf_count_t count = readMono(input);
        if (count <= 0) {
            return false;
        }
        appendConverted(input, input.source->mono.data(), static_cast<std::size_t>(count));
        return true;
    }

    // Frames are read only once libsoxr has taken all of the last read, so
    // none is dropped. An empty read tells it the input has ended, and from
    // then on it gives out what it holds until it has no more.
    if (input.source->monoTaken == input.source->monoCount && !input.source->inputEnded) {
        const sf_count_t count = readMono(input);
        if (count < 0) {
            return false;
        }
        input.source->monoCount = static_cast<std::size_t>(count);
        input.source->monoTaken = 0;
        input.source->inputEnded = count == 0;
    }
    if (input.source->flushed) {
        return false;
    }
    std::size_t used = 0;
    std::size_t made = 0;
    const soxr_error_t failure =
        soxr_process(input.source->resampler.get(),
                     input.source->inputEnded ? nullptr : input.source->mono.data() + input.source->monoTaken,
                     input.source->monoCount - input.source->monoTaken, &used, input.source->resampledOut.data(),
                     input.source->resampledOut.size(), &made);
    if (failure != nullptr) {
        input.error = std::string("resampling failed (") + failure + ")";
        return false;
    }
    if (!input.source->inputEnded && used == 0 && made == 0) {
        // It would spin here for ever, or lose the frames it will not take.
        input.error = "resampling failed (the resampler takes no more input)";
        return false;
    }
    input.source->monoTaken += used;
    appendConverted(input, input.source->resampledOut.data(), made);
    input.source->flushed = input.source->inputEnded && made == 0;
    return !input.source->flushed;
}

std::size_t readSound(AudioInput& input, std::int16_t* out, std::size_t wanted) {
    if (input.kind == InputKind::untouched) {
        const sf_count_t got = sf_read_short(input.source->sound.get(), out, static_cast<sf_count_t>(wanted));
        if (sf_error(input.source->sound.get()) != SF_ERR_NO_ERROR || input.source->reads.error != 0) {
            input.ended = true;
            input.error = soundError(input.source->sound.get(), input.source->reads);
            return 0;
        }
        if (got < static_cast<sf_count_t>(wanted)) {
            input.ended = true;
        }
        return static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    }
    std::size_t produced = 0;
    while (produced < wanted && !input.ended) {
        if (input.source->readyPos == input.source->ready.size() && !refill(input)) {
            input.ended = true;
            break;
        }
        const std::size_t take = std::min(wanted - produced, input.source->ready.size() - input.source->readyPos);
        std::copy_n(input.source->ready.begin() + static_cast<std::ptrdiff_t>(input.source->readyPos), take,
                    out + produced);
        input.source->readyPos += take;
        produced += take;
    }
    return produced;
}

}  // namespace

std::unique_ptr<AudioInput> openAudioInput(const char* path, OpenFailure& failure) {
    // Opened once, without waiting for a writer: what is checked here is what
    // is read, and a pipe cannot hold the run up.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure = {false, std::strerror(errno)};
        return nullptr;
    }
    struct stat info {};
    std::string refusal;
    if (fstat(fd, &info) != 0) {
        refusal = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        refusal = std::strerror(EISDIR);
    } else if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
        refusal = "not a regular file (wavrec reads a whole file, not a pipe or a device)";
    } else {
        // Read as any file from now on: blocking.
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            refusal = std::strerror(errno);
        }
    }
    if (!refusal.empty()) {
        close(fd);
        failure = {S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISSOCK(info.st_mode), refusal};
        return nullptr;
    }
    std::unique_ptr<std::FILE, StdioCloser> file(fdopen(fd, "rb"));
    if (!file) {
        failure = {false, std::strerror(errno)};
        close(fd);
        return nullptr;
    }
    std::array<std::uint8_t, series3SoundHeaderSize> head{};
    const std::size_t length = std::fread(head.data(), 1, head.size(), file.get());
    if (std::ferror(file.get()) != 0) {
        failure = {true, std::strerror(errno)};
        return nullptr;
    }
    if (isPsion5File(head.data(), length)) {
        std::rewind(file.get());
        return openRecord(std::move(file), failure);
    }
    std::unique_ptr<AudioInput> input = openSound(std::move(file), failure);
    if (input && length == head.size() && looksLikeSeries3Sound(head.data(), length)) {
        carrySeries3Fields(head.data(), *input);
    }
    return input;
}

std::size_t samplesHeld(const AudioInput& input) {
    return input.source->ready.capacity() + input.source->resampledOut.capacity();
}

std::size_t readAudio(AudioInput& input, std::int16_t* out, std::size_t wanted) {
    if (input.ended) {
        return 0;
    }
    return input.kind == InputKind::record ? readRecord(input, out, wanted) : readSound(input, out, wanted);
}

}  // namespace recwav
