// SPDX-License-Identifier: MIT
// The run: the header fields settled, the input opened, the Record file
// written through the temporary output and read back before it replaces the
// output.
#include "wavrec/wavrec.hpp"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <recwav/platform.hpp>
#include <recwav/progress.hpp>
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

// The run's progress line, which every message of the run clears first.
ProgressLine progress;

int failure(const std::string& message) {
    clearProgress(progress);
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

// Codes spans of planned ADPCM blocks on threads of their own and hands them
// back in the order given. At most `limit` spans are in flight, so memory
// stays bounded whatever the sound's length.
class SpanCoder {
public:
    SpanCoder(const RecordSettings& settings, unsigned jobs) : settings_(settings), limit_(std::size_t{2} * jobs) {
        for (unsigned job = 0; job < jobs; ++job) {
            workers_.emplace_back([this] { work(); });
        }
    }
    SpanCoder(const SpanCoder&) = delete;
    SpanCoder& operator=(const SpanCoder&) = delete;
    ~SpanCoder() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
    }

    void give(RecordSpan span) {
        auto slot = std::make_unique<Slot>();
        slot->span = std::move(span);
        const std::lock_guard lock(mutex_);
        waiting_.push_back(slot.get());
        inFlight_.push_back(std::move(slot));
        changed_.notify_all();
    }

    [[nodiscard]] bool full() const { return inFlight_.size() >= limit_; }
    [[nodiscard]] bool empty() const { return inFlight_.empty(); }

    // Whether the oldest span is coded.
    bool ready() {
        const std::lock_guard lock(mutex_);
        return !inFlight_.empty() && inFlight_.front()->done;
    }

    // The oldest span, once coded.
    RecordSpan take() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return inFlight_.front()->done; });
        RecordSpan span = std::move(inFlight_.front()->span);
        inFlight_.pop_front();
        return span;
    }

private:
    struct Slot {
        RecordSpan span;
        bool done = false;
    };

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_) {
                return;
            }
            Slot* slot = waiting_.front();
            waiting_.pop_front();
            lock.unlock();
            codeRecordSpan(settings_, slot->span);
            lock.lock();
            slot->done = true;
            changed_.notify_all();
        }
    }

    const RecordSettings& settings_;
    std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Slot>> inFlight_;  // in order; only the caller's thread changes it
    std::deque<Slot*> waiting_;                   // not yet taken by a worker
    bool stopping_ = false;
    std::vector<std::thread> workers_;  // last: they start once the rest is made
};

// Samples planned before a span goes to a worker: some 2 s of sound, a few
// dozen blocks, so that the hand-overs cost nothing beside the coding.
constexpr std::size_t spanSamples = 16384;

using Failure = RecordingResult::Failure;

// One recording under way.
struct Run {
    AudioInput& input;
    std::FILE* output;
    std::vector<std::int16_t>* decoded;
    const std::function<void(std::uint64_t)>& coded;  // told the samples coded so far
    RecordEncoder encoder;
    std::array<std::uint8_t, recordPreambleSize> settled{};
    std::string cause;  // of a failure to write
    std::vector<std::uint8_t> bytes;

    // Writes `bytes`, the file's next.
    Failure write() {
        if (!writeAll(output, bytes)) {
            cause = std::strerror(errno);
            return Failure::writing;
        }
        return Failure::none;
    }
};

// Codes all the input on this thread.
Failure codeHere(ReadAhead& reader, Run& run) {
    for (std::size_t count = 1; count > 0;) {
        const std::vector<std::int16_t> samples = reader.next();
        count = samples.size();
        if (count == 0 && !run.input.error.empty()) {
            return Failure::reading;
        }
        run.bytes.clear();
        const Status status = count > 0 ? encodeRecord(run.encoder, samples.data(), count, run.bytes, run.decoded)
                                        : finishRecord(run.encoder, run.bytes, run.settled, run.decoded);
        if (status != Status::ok) {  // the options are checked: only a sound too long
            return Failure::tooLong;
        }
        if (run.coded) {
            run.coded(run.encoder.given);
        }
        if (run.write() != Failure::none) {
            return Failure::writing;
        }
    }
    return Failure::none;
}

// Writes the coded spans in order: those ready, and the oldest while the
// coder is full, or every one when `draining`.
Failure writeSpans(SpanCoder& coder, Run& run, bool draining) {
    while (!coder.empty() && (draining || coder.full() || coder.ready())) {
        run.bytes.clear();
        if (takeRecordSpan(run.encoder, coder.take(), run.bytes, run.decoded) != Status::ok) {
            return Failure::tooLong;
        }
        if (run.coded) {
            run.coded(run.encoder.summary.samples);
        }
        if (run.write() != Failure::none) {
            return Failure::writing;
        }
    }
    return Failure::none;
}

// Plans the blocks here and codes them on `jobs` threads.
Failure codeOnThreads(ReadAhead& reader, Run& run, unsigned jobs) {
    SpanCoder coder(run.encoder.settings, jobs);
    RecordSpan span;
    for (;;) {
        const std::vector<std::int16_t> samples = reader.next();
        if (samples.empty()) {
            if (!run.input.error.empty()) {
                return Failure::reading;
            }
            break;
        }
        planRecord(run.encoder, samples.data(), samples.size(), span);  // the options are checked
        if (span.planned.samples.size() >= spanSamples) {
            coder.give(std::move(span));
            span = RecordSpan{};
        }
        if (const Failure failed = writeSpans(coder, run, false); failed != Failure::none) {
            return failed;
        }
    }
    finishRecordPlan(run.encoder, span);
    coder.give(std::move(span));
    if (const Failure failed = writeSpans(coder, run, true); failed != Failure::none) {
        return failed;
    }
    return settleRecord(run.encoder, run.settled) == Status::ok ? Failure::none : Failure::tooLong;
}

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

unsigned defaultJobs() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return std::clamp<unsigned>(static_cast<unsigned>(cores), 1, maxJobs);
}

RecordingResult writeRecording(AudioInput& input, const RecordSettings& settings, std::FILE* output,
                               std::vector<std::int16_t>* decoded, unsigned jobs,
                               const std::function<void(std::uint64_t)>& coded) {
    Run run{input, output, decoded, coded, {}, {}, {}, {}};
    run.encoder.settings = settings;
    Failure failed = Failure::none;
    {
        ReadAhead reader(input);
        // A-law is far quicker than handing it over.
        failed = settings.codec == codecAdpcm && jobs > 1 ? codeOnThreads(reader, run, jobs) : codeHere(reader, run);
    }
    if (failed == Failure::none &&
        (std::fseek(output, 0, SEEK_SET) != 0 ||
         std::fwrite(run.settled.data(), 1, run.settled.size(), output) != run.settled.size() ||
         std::fflush(output) != 0)) {
        failed = Failure::writing;
        run.cause = std::strerror(errno);
    }
    RecordingResult result;
    result.failure = failed;
    switch (failed) {
        case Failure::none:
            result.summary = run.encoder.summary;
            break;
        case Failure::reading:
            result.cause = input.error;
            break;
        case Failure::tooLong:
            result.cause = "too long for a Record file (over 4294967294 samples)";
            break;
        case Failure::writing:
            result.cause = run.cause;
            break;
    }
    return result;
}

namespace {

// The file that an input makes in `folder`: its name with ".rec" for its extension.
std::string outputInFolder(const std::string& folder, const char* input) {
    const std::filesystem::path name = std::filesystem::path(input).filename().replace_extension(".rec");
    return folder + (folder.back() == '/' ? "" : "/") + name.string();
}

// Minutes and seconds of sound, hours too where there are any.
std::string duration(std::uint64_t samples) {
    const std::uint64_t seconds = samples / recordSampleRate;
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60),
                      static_cast<unsigned>(seconds % 60));
    }
    return text;
}

// The header fields: ours by default, then what a Series 3 sound says of
// its playing, then a device recording's, then the options given by name.
// Empty, with `message` set, when the device recording cannot be read.
std::optional<RecordSettings> settingsFor(const CommandLine& line, const AudioInput& sound, std::string& message) {
    RecordSettings settings = line.settings;
    SoundHeaderFields& fields = settings.fields;
    fields.repeats = sound.repeats.value_or(fields.repeats);
    fields.gap = sound.gap.value_or(fields.gap);
    if (line.headerFrom != nullptr) {
        const std::optional<SoundHeaderFields> model = fieldsOf(line.headerFrom, message);
        if (!model) {
            return std::nullopt;
        }
        fields = *model;
    }
    fields.repeats = line.repeats.value_or(fields.repeats);
    fields.volume = line.volume.value_or(fields.volume);
    fields.gap = line.gap.value_or(fields.gap);
    return settings;
}

// One input of the run, into `output`: 0, or 1 once its failure is reported.
int convertOne(const CommandLine& line, const char* input, const char* output, std::size_t index) {
    if (sameFile(input, output) || (line.headerFrom != nullptr && sameFile(line.headerFrom, output))) {
        const char* read = sameFile(input, output) ? input : line.headerFrom;
        return failure("will not write over " + quoted(read) + ", which it reads");
    }
    OpenFailure refused;
    const std::unique_ptr<AudioInput> sound = openAudioInput(input, refused);
    if (!sound) {
        return failure(refused.verb() + quoted(input) + ": " + refused.cause);
    }
    const auto coded = [&](std::uint64_t done) {
        updateProgress(progress, codingProgressText(index, line.inputs.size(), input, done, sound->length));
    };

    std::string message;
    const std::optional<RecordSettings> settings = settingsFor(line, *sound, message);
    if (!settings) {
        return failure(message);
    }
    std::FILE* file = openOutput(output, line.force, message);
    if (file == nullptr) {
        return failure(message);
    }
    const RecordingResult result =
        writeRecording(*sound, *settings, file, nullptr, line.jobs > 0 ? line.jobs : defaultJobs(), coded);
    switch (result.failure) {
        case RecordingResult::Failure::none:
            break;
        case RecordingResult::Failure::reading:
            discardOutput(file);
            return failure("cannot read " + quoted(input) + ": " + result.cause);
        case RecordingResult::Failure::tooLong:
            discardOutput(file);
            return failure("cannot convert " + quoted(input) + ": " + result.cause);
        case RecordingResult::Failure::writing:
            discardOutput(file);
            return failure("cannot write " + quoted(output) + ": " + result.cause);
    }
    // What was written is read back as any reader would, before it can
    // replace anything.
    std::string mismatch;
    if (checkRecordFile(file, result.summary, mismatch) != Status::ok) {
        discardOutput(file);
        return failure("internal error: the Record file made for " + quoted(output) + " does not read back as coded (" +
                       mismatch + "); nothing was written");
    }
    if (!commitOutput(file, output, message)) {
        return failure(message);
    }
    clearProgress(progress);
    if (sound->nonFinite > 0) {
        std::fprintf(stderr, "%s: %s: %llu samples not a number or infinite, made silence or full scale\n", programName,
                     quoted(input).c_str(), static_cast<unsigned long long>(sound->nonFinite));
    }
    if (sound->clipped > 0) {
        std::fprintf(stderr, "%s: %s: %llu samples clamped to the 16-bit range\n", programName, quoted(input).c_str(),
                     static_cast<unsigned long long>(sound->clipped));
    }
    return exitSuccess;
}

}  // namespace

std::string codingProgressText(std::size_t index, std::size_t count, const std::string& name, std::uint64_t done,
                               std::optional<std::uint64_t> length) {
    std::string text = std::string(programName) + ": ";
    if (count > 1) {
        text += std::to_string(index + 1) + " of " + std::to_string(count) + ", ";
    }
    text += quoted(name.c_str()) + " " + duration(done);
    if (length && *length >= done && *length > 0) {
        text += " of " + duration(*length) + " (" + std::to_string(done * 100 / *length) + "%)";
    }
    return text;
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
    progress = startProgress();
    // As cp does: into the folder named last, with several inputs or with one.
    if (line.inputs.size() == 1 && !isDirectory(line.output)) {
        const int status = convertOne(line, line.inputs[0], line.output, 0);
        clearProgress(progress);
        return status;
    }
    if (!isDirectory(line.output)) {
        return failure(quoted(line.output) + " is not a folder: several inputs go into a folder");
    }
    int status = exitSuccess;
    std::map<std::pair<dev_t, ino_t>, const char*> made;  // the files this run wrote, and from what
    for (std::size_t i = 0; i < line.inputs.size(); ++i) {
        const std::string output = outputInFolder(line.output, line.inputs[i]);
        struct stat info {};
        const auto before = stat(output.c_str(), &info) == 0 ? made.find({info.st_dev, info.st_ino}) : made.end();
        if (before != made.end()) {
            status =
                failure("will not replace " + quoted(output.c_str()) + ", just written from " + quoted(before->second));
        } else if (convertOne(line, line.inputs[i], output.c_str(), i) != exitSuccess) {
            status = exitFailure;
        } else if (stat(output.c_str(), &info) == 0) {
            made.emplace(std::make_pair(info.st_dev, info.st_ino), line.inputs[i]);
        }
    }
    clearProgress(progress);
    return status;
}

}  // namespace recwav
