// SPDX-License-Identifier: MIT
// The run: the header fields settled, the input opened, the Record file
// written through the temporary output and read back before it replaces the
// output.
#include "wavrec/wavrec.hpp"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <recwav/platform.hpp>
#include <recwav/recordfile.hpp>

#include "wavrec/options.hpp"
#include "wavrec/output.hpp"

#ifndef RECWAV_VERSION
#define RECWAV_VERSION "unknown"
#endif

namespace recwav {

namespace {

constexpr const char* programName = "wavrec";

// Samples taken from the input at a time.
constexpr std::size_t samplesPerRead = 4000;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

int usageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName, message.c_str(), programName);
    return exitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", programName, message.c_str());
    return exitFailure;
}

std::string quoted(const char* path) {
    return std::string("'") + path + "'";
}

bool writeAll(std::FILE* output, const std::vector<std::uint8_t>& bytes) {
    return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size();
}

// Reads the input on a thread of its own, a few chunks ahead of the coding:
// decoding, mixing and resampling the input then cost the run no time of its
// own where there are two cores.
class ReadAhead {
public:
    explicit ReadAhead(AudioInput& input) : input_(input), thread_([this] { run(); }) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // The next samples: none at the end of the input, or once a read failed
    // (the input's error says so; what that read gave is dropped).
    std::vector<std::int16_t> next() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !chunks_.empty(); });
        std::vector<std::int16_t> chunk = std::move(chunks_.front());
        chunks_.pop_front();
        changed_.notify_all();
        return chunk;
    }

private:
    static constexpr std::size_t chunksAhead = 8;

    void run() {
        for (bool last = false; !last;) {
            std::vector<std::int16_t> chunk(samplesPerRead);
            chunk.resize(readAudio(input_, chunk.data(), chunk.size()));
            if (!input_.error.empty()) {
                chunk.clear();
            }
            last = chunk.empty();
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || chunks_.size() < chunksAhead; });
            if (stopping_) {
                return;
            }
            chunks_.push_back(std::move(chunk));
            changed_.notify_all();
        }
    }

    AudioInput& input_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::int16_t>> chunks_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

// The header fields of a recording the device made; empty with `message` set
// when it cannot be read.
std::optional<SoundHeaderFields> fieldsOf(const char* path, std::string& message) {
    OpenFailure refused;
    const std::unique_ptr<AudioInput> model = openAudioInput(path, refused);
    if (!model || model->kind != InputKind::record) {
        message = (model ? "cannot read " : refused.verb()) + quoted(path) + ": " +
                  (model ? "not a Record file wavrec can read" : refused.cause);
        return std::nullopt;
    }
    return model->recordFields;
}

}  // namespace

RecordingResult writeRecording(AudioInput& input, const RecordSettings& settings, std::FILE* output,
                               std::vector<std::int16_t>* decoded) {
    RecordingResult result;
    const auto fail = [&result](RecordingResult::Failure failure, std::string cause) {
        result.failure = failure;
        result.cause = std::move(cause);
        return result;
    };
    RecordEncoder encoder;
    encoder.settings = settings;
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, recordPreambleSize> settled{};
    ReadAhead reader(input);
    for (std::size_t count = 1; count > 0;) {
        const std::vector<std::int16_t> samples = reader.next();
        count = samples.size();
        if (count == 0 && !input.error.empty()) {
            return fail(RecordingResult::Failure::reading, input.error);
        }
        bytes.clear();
        const Status coded = count > 0 ? encodeRecord(encoder, samples.data(), count, bytes, decoded)
                                       : finishRecord(encoder, bytes, settled, decoded);
        if (coded != Status::ok) {  // the options are checked: only a sound too long
            return fail(RecordingResult::Failure::tooLong, "too long for a Record file (over 4294967294 samples)");
        }
        if (!writeAll(output, bytes)) {
            return fail(RecordingResult::Failure::writing, std::strerror(errno));
        }
    }
    if (std::fseek(output, 0, SEEK_SET) != 0 ||
        std::fwrite(settled.data(), 1, settled.size(), output) != settled.size() || std::fflush(output) != 0) {
        return fail(RecordingResult::Failure::writing, std::strerror(errno));
    }
    result.summary = encoder.summary;
    return result;
}

int runWavrec(int argc, char* argv[]) {
    CommandLine line;
    const std::string wrong = parseCommandLine(argc, argv, line);
    if (!wrong.empty()) {
        return usageError(wrong);
    }
    if (line.help) {
        printHelp();
        return exitSuccess;
    }
    if (line.version) {
        std::printf("wavrec (recwav) %s\n", RECWAV_VERSION);
        return exitSuccess;
    }

    if (sameFile(line.input, line.output) || (line.headerFrom != nullptr && sameFile(line.headerFrom, line.output))) {
        const char* read = sameFile(line.input, line.output) ? line.input : line.headerFrom;
        return failure("will not write over " + quoted(read) + ", which it reads");
    }
    OpenFailure refused;
    const std::unique_ptr<AudioInput> input = openAudioInput(line.input, refused);
    if (!input) {
        return failure(refused.verb() + quoted(line.input) + ": " + refused.cause);
    }

    // The header fields: ours by default, then what a Series 3 sound says of
    // its playing, then a device recording's, then the options given by name.
    SoundHeaderFields& fields = line.settings.fields;
    fields.repeats = input->repeats.value_or(fields.repeats);
    fields.gap = input->gap.value_or(fields.gap);
    if (line.headerFrom != nullptr) {
        std::string message;
        const std::optional<SoundHeaderFields> model = fieldsOf(line.headerFrom, message);
        if (!model) {
            return failure(message);
        }
        fields = *model;
    }
    fields.repeats = line.repeats.value_or(fields.repeats);
    fields.volume = line.volume.value_or(fields.volume);
    fields.gap = line.gap.value_or(fields.gap);

    std::string message;
    std::FILE* output = openOutput(line.output, line.force, message);
    if (output == nullptr) {
        return failure(message);
    }
    const RecordingResult result = writeRecording(*input, line.settings, output);
    switch (result.failure) {
        case RecordingResult::Failure::none:
            break;
        case RecordingResult::Failure::reading:
            discardOutput(output);
            return failure("cannot read " + quoted(line.input) + ": " + result.cause);
        case RecordingResult::Failure::tooLong:
            discardOutput(output);
            return failure("cannot convert " + quoted(line.input) + ": " + result.cause);
        case RecordingResult::Failure::writing:
            discardOutput(output);
            return failure("cannot write " + quoted(line.output) + ": " + result.cause);
    }
    // What was written is read back as any reader would, before it can
    // replace anything.
    std::string mismatch;
    if (checkRecordFile(output, result.summary, mismatch) != Status::ok) {
        discardOutput(output);
        return failure("internal error: the Record file made for " + quoted(line.output) +
                       " does not read back as coded (" + mismatch + "); nothing was written");
    }
    if (!commitOutput(output, line.output, message)) {
        return failure(message);
    }
    if (input->nonFinite > 0) {
        std::fprintf(stderr, "%s: %s: %llu samples not a number or infinite, made silence or full scale\n", programName,
                     quoted(line.input).c_str(), static_cast<unsigned long long>(input->nonFinite));
    }
    if (input->clipped > 0) {
        std::fprintf(stderr, "%s: %s: %llu samples clamped to the 16-bit range\n", programName,
                     quoted(line.input).c_str(), static_cast<unsigned long long>(input->clipped));
    }
    return exitSuccess;
}

}  // namespace recwav
