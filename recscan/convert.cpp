// SPDX-License-Identifier: MIT
// One file's conversion: Record files through recwav's own reader, decoders
// and WAVE writer, Series 3 sounds through libsndfile; each WAV written under
// a temporary name, dated like its source and renamed when whole.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/platform.hpp>
#include <recwav/recordfile.hpp>
#include <recwav/soundio.hpp>

#include <recwav/wav.hpp>
#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct FdCloser {
    int fd = -1;
    FdCloser() = default;
    explicit FdCloser(int f) : fd(f) {}
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    ~FdCloser() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// ---- The output: a stream that counts what passes, to a file or to nowhere ----

struct Sink {
    int fd = -1;  // -1: count only
    std::uint64_t bytes = 0;
};

FilePtr openSink(Sink& sink) {
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
        auto& sink = *static_cast<Sink*>(cookie);
        for (std::size_t done = 0; sink.fd >= 0 && done < size;) {
            const ssize_t wrote = write(sink.fd, data + done, size - done);
            if (wrote < 0 && errno != EINTR) {
                return -1;
            }
            done += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
        }
        sink.bytes += size;
        return static_cast<ssize_t>(size);
    };
    FilePtr file(fopencookie(&sink, "wb", io));
    // A worker's one output buffer, made once: large enough that a WAV of a
    // few seconds leaves in one write.
    thread_local std::vector<char> buffer(std::size_t{1} << 17);
    if (file) {
        std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
    }
    return file;
}

// ---- The sounds ----

struct Written {
    bool ok = true;
    std::string cause;
};

// What a sound knows once opened, and how it writes its WAV.
struct Sound {
    Coding coding = Coding::none;
    std::uint64_t declared = 0;
    std::string refusal;  // set when the file is not one we convert
    std::function<Written(std::FILE*)> write;
    std::string failure;  // set when it could not be read
};

std::string errnoText(const char* what) {
    return errno == 0 ? what : std::string(what) + ": " + std::strerror(errno);
}

// A Record file: exactly recwav's bytes, from recwav's own functions.
struct RecordSound {
    FilePtr input;
    SoundStream stream;

    Sound open(Job& job) {
        std::FILE* file = job.fd >= 0 ? fdopen(job.fd, "rb") : fmemopen(job.bytes.data(), job.bytes.size(), "rb");
        if (file == nullptr) {
            return {Coding::none, 0, "", nullptr, errnoText("could not open input file")};
        }
        if (job.fd >= 0) {
            job.fd = -1;  // the stream owns it now
        }
        input.reset(file);
        thread_local std::vector<char> buffer(std::size_t{1} << 16);
        std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
        Sound sound;
        errno = 0;
        if (parseRecordFile(file, stream) == -1) {
            if (std::ferror(file) != 0) {
                sound.failure = errnoText("could not read input file");
            } else {
                sound.refusal = "input file is not correct format";  // recwav's words
            }
            return sound;
        }
        sound.coding = stream.decode == decodeALaw ? Coding::aLaw : Coding::adpcm;
        sound.declared = stream.sampleCount;
        sound.write = [this](std::FILE* output) -> Written {
            std::vector<std::int16_t> samples(samplesPerCall);
            errno = 0;
            // Without a batch limit the conversion never pauses.
            Status status = writeWavHeader(output, stream);
            if (status == Status::ok) {
                status = convertSound(stream, samples.data(), output);
            }
            if (status == Status::readFailed) {
                return {false, errnoText("could not read input file")};
            }
            if (status == Status::writeFailed) {
                return {false, errnoText("could not write output file")};
            }
            return {};
        };
        return sound;
    }
};

struct SoundFileCloser {
    void operator()(SNDFILE* sound) const { sf_close(sound); }
};

// A Series 3 sound: libsndfile decodes it, the WAV takes recwav's header.
struct Series3Sound {
    SoundFileReads source;
    SF_VIRTUAL_IO io = soundFileReadsIo();
    FdCloser owned;  // closed after libsndfile is done with it
    std::unique_ptr<SNDFILE, SoundFileCloser> file;
    SF_INFO info{};

    Sound open(Job& job) {
        Sound sound;
        sound.coding = Coding::series3;
        if (job.fd >= 0) {
            owned.fd = job.fd;
            job.fd = -1;
            source.fd = owned.fd;
            struct stat info {};
            source.length = fstat(owned.fd, &info) == 0 ? info.st_size : 0;
        } else {
            source.bytes = job.bytes.data();
            source.length = static_cast<sf_count_t>(job.bytes.size());
        }
        std::array<std::uint8_t, series3SoundHeaderSize> head{};
        if (io.read(head.data(), head.size(), &source) == static_cast<sf_count_t>(head.size())) {
            sound.declared = loadBe32(head.data() + series3CountOffset);
        }
        source.position = 0;
        file.reset(sf_open_virtual(&io, SFM_READ, &info, &source));
        if (source.error != 0) {
            sound.failure = std::string("could not read input file: ") + std::strerror(source.error);
        } else if (!file || (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WVE) {
            sound.refusal = std::string("not a Series 3 sound libsndfile reads (") + sf_strerror(file.get()) + ")";
        } else if (info.samplerate != static_cast<int>(wavSampleRate) || info.channels != 1 ||
                   info.frames > static_cast<sf_count_t>(maxDeclaredCount)) {
            sound.refusal = "not an 8000 Hz mono sound of at most 4294967294 samples";
        }
        sound.write = [this](std::FILE* output) { return write(output); };
        return sound;
    }

    Written write(std::FILE* output) {
        SoundStream header;
        header.sampleCount = static_cast<std::uint32_t>(info.frames);
        if (writeWavHeader(output, header) != Status::ok) {
            return {false, errnoText("could not write output file")};
        }
        std::vector<std::int16_t> samples(samplesPerCall);
        sf_count_t total = 0;
        for (sf_count_t got = 1; got > 0; total += got) {
            got = sf_read_short(file.get(), samples.data(), samplesPerCall);
            samplesToLe16(samples.data(), static_cast<std::size_t>(got));
            if (std::fwrite(samples.data(), sizeof samples[0], static_cast<std::size_t>(got), output) !=
                static_cast<std::size_t>(got)) {
                return {false, errnoText("could not write output file")};
            }
        }
        if (source.error != 0) {
            return {false, std::string("could not read input file: ") + std::strerror(source.error)};
        }
        if (total != info.frames) {
            return {false, std::string("could not read input file: ") + sf_strerror(file.get())};
        }
        return {};
    }
};

// ---- Folders and the file under its final name ----

// WAVs are written unnamed where the file system can, so that not even a
// crash leaves a partial one behind.
// Never wider than a new file's mode (the umask) nor than `mode`.
SafeOutputStyle outputStyle(mode_t mode) {
    return {"recscan", static_cast<mode_t>(mode & newFileMode()), true};
}

// Opens (making them as needed) the folders below the output folder, never
// through a symbolic link, so that nothing is written outside it.
int openFoldersAnew(int root, const std::vector<std::string>& folders) {
    int at = dup(root);
    for (const std::string& folder : folders) {
        if (at < 0) {
            return -1;
        }
        if (mkdirat(at, folder.c_str(), 0777) != 0 && errno != EEXIST) {
            const int cause = errno;
            close(at);
            errno = cause;
            return -1;
        }
        const int next = openat(at, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int cause = errno;
        close(at);
        errno = cause;
        at = next;
    }
    return at;
}

// The folder a worker last wrote in, kept open for the next file, which is
// most often its neighbour in the same folder. Borrowed: never closed by the caller.
int openFolders(int root, const std::vector<std::string>& folders) {
    struct Open {
        int root = -1;
        std::vector<std::string> folders;
        FdCloser folder;
    };
    thread_local Open last;
    if (last.folder.fd < 0 || last.root != root || last.folders != folders) {
        const int folder = openFoldersAnew(root, folders);
        if (folder < 0) {
            return -1;
        }
        if (last.folder.fd >= 0) {
            close(last.folder.fd);
        }
        last.folder.fd = folder;
        last.root = root;
        last.folders = folders;
    }
    return last.folder.fd;
}

// The time the file system keeps for a file dated `wanted`, read back from
// one so dated: it may round (FAT keeps 2 s) or clamp (to the years it holds).
timespec storedTime(int folder, const std::string& name, const timespec& wanted) {
    SafeOutput probe;
    if (!createSafeOutput(probe, folder, name, outputStyle(S_IRUSR | S_IWUSR))) {
        return wanted;
    }
    const timespec times[2] = {{0, UTIME_OMIT}, wanted};
    struct stat info {};
    const bool read = futimens(probe.fd, times) == 0 && fstat(probe.fd, &info) == 0;
    discardSafeOutput(probe);
    return read ? info.st_mtim : wanted;
}

// Writes the WAV and gives it its name only when whole and on the disk, its
// folder flushed after; the cause on failure.
std::string writeOutput(int folder, const std::string& name, const Job& job, Sound& sound, bool replace,
                        std::uint64_t& bytes) {
    SafeOutput file;
    if (!createSafeOutput(file, folder, name, outputStyle(job.mode))) {
        return errnoText("could not create output file");
    }
    Sink sink{file.fd, 0};
    std::string cause;
    {
        const FilePtr output = openSink(sink);
        const Written written = output ? sound.write(output.get()) : Written{false, errnoText("could not write")};
        if (!written.ok) {
            cause = written.cause;
        } else if (std::fflush(output.get()) != 0) {
            cause = errnoText("could not write output file");
        }
    }
    const timespec times[2] = {{0, UTIME_OMIT}, job.mtime};
    if (cause.empty() && futimens(file.fd, times) != 0) {
        cause = errnoText("could not date output file");
    }
    bytes = sink.bytes;
    if (!cause.empty()) {
        discardSafeOutput(file);
        return cause;
    }
    switch (commitSafeOutput(file, replace)) {
        case CommitResult::committed:
            return "";
        case CommitResult::exists:
            return "output file appeared meanwhile; --force replaces it";
        case CommitResult::folderNotFlushed:
            return errnoText("written, but its folder could not be flushed to the disk");
        case CommitResult::failed:
            break;
    }
    return errnoText("could not write output file");
}

const char* codingName(Coding coding) {
    switch (coding) {
        case Coding::aLaw:
            return "A-law";
        case Coding::adpcm:
            return "ADPCM";
        case Coding::series3:
            return "Series 3 A-law";
        case Coding::none:
            break;
    }
    return "";
}

std::string describe(const Result& result, const std::string& wanted) {
    char text[64];
    std::snprintf(text, sizeof text, "%s, %.2f s", codingName(result.coding),
                  static_cast<double>(*result.decoded) / wavSampleRate);
    std::string message = text;
    if (*result.decoded < *result.declared) {
        message += ", cut short: " + std::to_string(*result.decoded) + " of " + std::to_string(*result.declared) +
                   " declared samples";
    }
    if (!wanted.empty()) {
        message += "; named apart: another source is " + wanted;
    }
    return message;
}

}  // namespace

void watchSignals() {
    newFileMode();  // the umask read before any worker starts
    armSafeOutputs();
}

namespace {

// The WAV's path as shown: the output folder as given, the folders, the name.
std::string shownOutput(const OutputFolder& output, const Job& job) {
    std::string shown = output.shown;
    for (const std::string& folder : job.folders) {
        shown += (shown.empty() || shown.back() == '/' ? "" : "/") + folder;
    }
    return shown + (shown.empty() || shown.back() == '/' ? "" : "/") + job.name;
}

// With a file of the WAV's name in place: fills `result` and returns true
// when that settles it (done before, or failed), false when it is replaced.
bool settledByExisting(int folder, const Job& job, Sound& sound, const struct stat* source, bool force,
                       Result& result) {
    struct stat existing {};
    if (fstatat(folder, job.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    result.outcome = Outcome::failed;
    if (source != nullptr && existing.st_dev == source->st_dev && existing.st_ino == source->st_ino) {
        result.message = "will not write over " + result.output + ", which it reads";
    } else if (S_ISDIR(existing.st_mode)) {
        result.message = result.output + " is a folder";
    } else if (force) {
        return false;
    } else {
        // Done before, when dated like the source and of the size it converts to.
        Sink count;
        const FilePtr counter = openSink(count);
        const Written measured = counter ? sound.write(counter.get()) : Written{false, errnoText("could not write")};
        const timespec stored =
            existing.st_mtim.tv_sec == job.mtime.tv_sec ? job.mtime : storedTime(folder, job.name, job.mtime);
        if (!measured.ok) {
            result.message = measured.cause;
        } else if (std::fflush(counter.get()) == 0 && convertedBefore(existing, count.bytes, stored)) {
            result.decoded = (count.bytes - wavHeaderSize) / wavBytesPerSample;
            result.outcome = Outcome::done;
            result.message = "already converted";
            return true;
        } else {
            result.message = result.output + " exists; --force replaces it";
        }
    }
    result.output.clear();
    return true;
}

}  // namespace

bool convertedBefore(const struct stat& existing, std::uint64_t size, const timespec& stored) {
    return S_ISREG(existing.st_mode) && static_cast<std::uint64_t>(existing.st_size) == size &&
           existing.st_mtim.tv_sec == stored.tv_sec;
}

// The conversion of one file, as convertJob reports it but for its being deleted.
static Result convertOne(Job& job, const OutputFolder& output, bool force) {
    Result result;
    result.source = job.source;
    result.bytes = job.diskBytes;
    const auto fail = [&result](Outcome outcome, std::string message) {
        result.outcome = outcome;
        result.message = std::move(message);
        return result;
    };
    struct stat sourceInfo {};
    const bool onDisk = job.fd >= 0 && fstat(job.fd, &sourceInfo) == 0;

    RecordSound record;
    Series3Sound series3;
    Sound sound = job.kind == Kind::record ? record.open(job) : series3.open(job);
    if (job.fd >= 0) {
        close(job.fd);
        job.fd = -1;
    }
    result.coding = sound.coding;
    if (!sound.failure.empty()) {
        return fail(Outcome::failed, sound.failure);
    }
    if (!sound.refusal.empty()) {
        return fail(Outcome::refused, sound.refusal);
    }
    result.declared = sound.declared;

    const int folder = openFolders(output.fd, job.folders);
    if (folder < 0) {
        return fail(Outcome::failed, errnoText("could not make the output folder"));
    }
    result.output = shownOutput(output, job);
    if (settledByExisting(folder, job, sound, onDisk ? &sourceInfo : nullptr, force, result)) {
        return result;
    }
    std::uint64_t written = 0;
    const std::string cause = writeOutput(folder, job.name, job, sound, force, written);
    if (!cause.empty()) {
        result.output.clear();
        return fail(Outcome::failed, cause);
    }
    result.outcome = Outcome::converted;
    result.decoded = (written - wavHeaderSize) / wavBytesPerSample;
    result.message = describe(result, job.wanted);
    return result;
}

Result convertJob(Job& job, const OutputFolder& output, bool force) {
    Result result = convertOne(job, output, force);
    // A deleted file's rescue is news whatever became of it.
    if (job.deleted) {
        result.deleted = true;
        result.message = "deleted, " + result.message;
    }
    return result;
}

}  // namespace recwav::scan
