// SPDX-License-Identifier: MIT
// The walk: folders in name order, files told apart by their first bytes,
// archives read by libarchive, archives inside them from memory.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <recwav/embedded.hpp>
#include <recwav/recordfile.hpp>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

// Enough of an entry for libarchive to recognise any archive it reads
// (ISO 9660 puts its first descriptor at 32 KiB).
constexpr std::size_t entryHeadSize = std::size_t{64} * 1024;
constexpr std::size_t readBlock = std::size_t{64} * 1024;

struct ArchiveFreer {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFreer>;

// Every format libarchive reads but two: "mtree" takes plain text for a
// listing of files on this disk and would read them, and "raw" takes
// anything at all. lzma's "alone" streams have no signature at all: left
// out, libarchive is asked whether a file is anything else.
ArchivePtr newReader(bool lzma = true) {
    ArchivePtr reader(archive_read_new());
    for (const auto support :
         {archive_read_support_format_7zip, archive_read_support_format_ar, archive_read_support_format_cab,
          archive_read_support_format_cpio, archive_read_support_format_iso9660, archive_read_support_format_lha,
          archive_read_support_format_rar, archive_read_support_format_rar5, archive_read_support_format_tar,
          archive_read_support_format_warc, archive_read_support_format_xar, archive_read_support_format_zip,
          // Compression, in-process only: none that runs another program.
          archive_read_support_filter_bzip2, archive_read_support_filter_compress, archive_read_support_filter_gzip,
          archive_read_support_filter_lz4, archive_read_support_filter_lzip, archive_read_support_filter_xz,
          archive_read_support_filter_zstd}) {
        support(reader.get());
    }
    if (lzma) {
        archive_read_support_filter_lzma(reader.get());
    }
    return reader;
}

// An archive's bytes, from a file or from memory, through callbacks that
// keep what libarchive's own would lose: a read error (which, while the
// format is guessed, it takes for a file in no format) and the end reached.
struct ArchiveInput {
    int fd = -1;  // or, when -1:
    const std::uint8_t* data = nullptr;
    std::uint64_t size = 0;
    std::uint64_t at = 0;
    std::vector<std::uint8_t> buffer;
    int error = 0;       // errno of a read that failed
    bool ended = false;  // a read or seek reached the end of the bytes

    void rewind() {
        at = 0;
        ended = false;
        if (fd >= 0) {
            lseek(fd, 0, SEEK_SET);
        }
    }
};

la_ssize_t readInput(archive* reader, void* self, const void** block) {
    auto& input = *static_cast<ArchiveInput*>(self);
    if (input.fd < 0) {
        const std::uint64_t rest = input.size - std::min(input.at, input.size);
        *block = input.data + (input.size - rest);
        input.at += rest;
        input.ended = input.ended || rest == 0;
        return static_cast<la_ssize_t>(rest);
    }
    input.buffer.resize(readBlock);
    *block = input.buffer.data();
    for (;;) {
        const ssize_t got = read(input.fd, input.buffer.data(), input.buffer.size());
        if (got >= 0) {
            input.ended = input.ended || got == 0;
            return got;
        }
        if (errno != EINTR) {
            input.error = errno;
            archive_set_error(reader, errno, "%s", std::strerror(errno));
            return -1;
        }
    }
}

la_int64_t seekInput(archive*, void* self, la_int64_t offset, int whence) {
    auto& input = *static_cast<ArchiveInput*>(self);
    if (input.fd >= 0) {
        const off_t at = lseek(input.fd, offset, whence);
        struct stat info {};
        input.ended = input.ended || (at >= 0 && fstat(input.fd, &info) == 0 && at >= info.st_size);
        return at < 0 ? ARCHIVE_FATAL : at;
    }
    const auto base = static_cast<la_int64_t>(whence == SEEK_SET ? 0 : whence == SEEK_CUR ? input.at : input.size);
    if (base + offset < 0) {
        return ARCHIVE_FATAL;
    }
    input.at = std::min(static_cast<std::uint64_t>(base + offset), input.size);
    input.ended = input.ended || input.at == input.size;
    return static_cast<la_int64_t>(input.at);
}

la_int64_t skipInput(archive* reader, void* self, la_int64_t request) {
    auto& input = *static_cast<ArchiveInput*>(self);
    if (input.fd >= 0) {
        // Skipped as read where the file cannot seek; never past its end.
        const off_t at = lseek(input.fd, 0, SEEK_CUR);
        struct stat info {};
        if (at < 0 || fstat(input.fd, &info) != 0) {
            return 0;
        }
        const la_int64_t skip = std::min<la_int64_t>(request, std::max<la_int64_t>(info.st_size - at, 0));
        return seekInput(reader, self, skip, SEEK_CUR) < 0 ? 0 : skip;
    }
    const auto skip = std::min(static_cast<std::uint64_t>(request), input.size - std::min(input.at, input.size));
    input.at += skip;
    return static_cast<la_int64_t>(skip);
}

// How opening an archive went: libarchive tells a file in no format it
// knows from one whose format it knows but cannot read.
enum class Opened { archive, notArchive, damaged, unreadable };

Opened tryOpen(ArchivePtr& reader, ArchiveInput& input, bool lzma) {
    reader = newReader(lzma);
    archive_read_set_callback_data(reader.get(), &input);
    archive_read_set_read_callback(reader.get(), readInput);
    archive_read_set_skip_callback(reader.get(), skipInput);
    archive_read_set_seek_callback(reader.get(), seekInput);
    const int status = archive_read_open1(reader.get());
    if (input.error != 0) {
        return Opened::unreadable;
    }
    if (status >= ARCHIVE_WARN) {
        return Opened::archive;
    }
    // libarchive's error number for "Unrecognized archive format", which its public header leaves out.
    constexpr int unknownFormat = EILSEQ;
    return archive_errno(reader.get()) == unknownFormat ? Opened::notArchive : Opened::damaged;
}

// Opens `input` as an archive. A file that only lzma's guess took for one
// (an all-zero file, say) is in no format: not a failure.
Opened openArchive(ArchivePtr& reader, ArchiveInput& input) {
    const Opened kind = tryOpen(reader, input, true);
    if (kind != Opened::damaged) {
        return kind;
    }
    ArchivePtr other;
    input.rewind();
    const Opened without = tryOpen(other, input, false);
    if (without == Opened::notArchive || without == Opened::unreadable) {
        reader = std::move(other);
        return without;
    }
    return kind;
}

// What went wrong with an archive: the system's word for a failed read,
// else libarchive's, or that its bytes ended early.
std::string archiveError(archive* reader, const ArchiveInput& input) {
    if (input.error != 0) {
        return std::string("could not read input file: ") + std::strerror(input.error);
    }
    const char* text = archive_error_string(reader);
    return text != nullptr ? text : input.ended ? "cut short" : "no reason given";
}

// A damaged archive, or the read error that made it look damaged.
std::string damaged(archive* reader, const ArchiveInput& input) {
    return (input.error != 0 ? "" : "damaged archive: ") + archiveError(reader, input);
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + '/' + name;
}

std::vector<std::string> plus(std::vector<std::string> folders, const std::string& name) {
    folders.push_back(name);
    return folders;
}

std::string sizeText(std::uint64_t bytes) {
    return std::to_string(bytes) + " bytes";
}

// What one archive, with the archives inside it, has expanded so far.
struct Budget {
    std::uint64_t used = 0;
};

// A folder's names in order, "." and ".." left out; 0, or the errno of a
// read that failed partway (the names read before it are kept).
int folderNames(DIR* dir, std::vector<std::string>& names) {
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            const int error = errno;
            // The same order on every run, so that names given apart stay apart alike.
            std::sort(names.begin(), names.end());
            return error;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
}

// What the walk does with the entry it is at.
enum class Step { next, stopArchive, stopAll };

// One open archive: how it is shown, where its files go, what they inherit.
struct Level {
    std::string shown;
    std::vector<std::string> folders;
    unsigned depth = 1;
    timespec time{};  // for entries with no time of their own
    mode_t mode = 0;  // the permission bits its WAVs may have at most
    const ArchiveInput& input;
};

std::optional<std::uint64_t> entrySize(archive_entry* entry) {
    if (archive_entry_size_is_set(entry) == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0));
}

std::string entryName(archive_entry* entry) {
    const char* utf8 = archive_entry_pathname_utf8(entry);
    const char* native = archive_entry_pathname(entry);
    return utf8 != nullptr ? utf8 : native != nullptr ? native : "";
}

class Walk {
public:
    Walk(const Settings& settings, Pipeline& pipeline, Namer& namer)
        : settings_(settings), pipeline_(pipeline), namer_(namer), rescue_{settings, pipeline, namer} {}

    std::uint64_t bytes = 0;  // every report's and job's bytes, for the progress line's total

    void source(const std::string& path) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            failed(path, std::string("could not open input file: ") + std::strerror(errno));
        } else if (S_ISDIR(info.st_mode)) {
            std::vector<std::pair<dev_t, ino_t>> chain{{info.st_dev, info.st_ino}};
            folder(path, path, {}, chain);
        } else if (!S_ISREG(info.st_mode)) {
            failed(path, "not a file or folder");
        } else {
            std::string name = path;
            while (name.size() > 1 && name.back() == '/') {
                name.pop_back();
            }
            file(path, path, {}, name.substr(name.rfind('/') + 1));
        }
    }

private:
    void report(Outcome outcome, const std::string& shown, std::string message, std::uint64_t diskBytes = 0) {
        Result result;
        result.outcome = outcome;
        result.source = shown;
        result.message = std::move(message);
        result.bytes = diskBytes + unreported_;
        bytes += result.bytes;
        unreported_ = 0;
        pipeline_.report(std::move(result));
    }
    void failed(const std::string& shown, std::string message) { report(Outcome::failed, shown, std::move(message)); }
    void skipped(const std::string& shown, std::string message, std::uint64_t diskBytes = 0) {
        report(Outcome::skipped, shown, std::move(message), diskBytes);
    }

    // Names the WAV and hands the job over; `job.bytes` or `job.fd` is set.
    void submit(Job job, const std::string& sourceName) {
        job.diskBytes += unreported_;
        bytes += job.diskBytes;
        unreported_ = 0;
        job.seq = pipeline_.reserve(job.bytes.size());
        const std::string wanted = wavName(sourceName);
        const std::vector<std::string> folders = job.folders;
        job.folders = namer_.placeFolders(folders);
        job.name = namer_.assign(job.folders, wanted);
        const auto moved = std::mismatch(folders.begin(), folders.end(), job.folders.begin());
        if (job.name != wanted) {
            job.wanted = wanted;
        } else if (moved.first != folders.end()) {
            job.wanted = *moved.first;  // a folder put apart from a file's WAV
        }
        pipeline_.submit(std::move(job));
    }

    void folder(const std::string& path, const std::string& shown, const std::vector<std::string>& folders,
                std::vector<std::pair<dev_t, ino_t>>& chain) {
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) {
            failed(shown, std::string("could not read folder: ") + std::strerror(errno));
            return;
        }
        std::vector<std::string> names;
        const int error = folderNames(dir, names);
        closedir(dir);
        if (error != 0) {
            failed(shown, std::string("could not read folder: ") + std::strerror(error));
        }
        for (const std::string& name : names) {
            child(joined(path, name), joined(shown, name), folders, name, chain);
        }
    }

    void child(const std::string& path, const std::string& shown, const std::vector<std::string>& folders,
               const std::string& name, std::vector<std::pair<dev_t, ino_t>>& chain) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            struct stat link {};
            if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                skipped(shown, "a symbolic link to nothing");
            } else {
                failed(shown, std::string("could not open input file: ") + std::strerror(errno));
            }
        } else if (S_ISDIR(info.st_mode)) {
            const std::pair<dev_t, ino_t> id{info.st_dev, info.st_ino};
            if (std::find(chain.begin(), chain.end(), id) != chain.end()) {
                skipped(shown, "a symbolic link loop: a folder it is already inside");
                return;
            }
            chain.push_back(id);
            folder(path, shown, plus(folders, name), chain);
            chain.pop_back();
        } else if (S_ISREG(info.st_mode)) {
            file(path, shown, folders, name);
        } else {
            skipped(shown, "not a regular file");  // a device or pipe is never opened
        }
    }

    void file(const std::string& path, const std::string& shown, const std::vector<std::string>& folders,
              const std::string& name) {
        // Not blocking: a named pipe put in place of the file must not stall the walk.
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0) {
            failed(shown, std::string("could not open input file: ") + std::strerror(errno));
            if (fd >= 0) {
                close(fd);
            }
            return;
        }
        if (!S_ISREG(info.st_mode)) {
            close(fd);
            skipped(shown, "not a regular file");
            return;
        }
        // A regular file after all: read as any, blocking.
        if (const int flags = fcntl(fd, F_GETFL); flags >= 0) {
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
        const auto size = static_cast<std::uint64_t>(info.st_size);
        std::uint8_t head[series3SoundHeaderSize];
        const ssize_t got = pread(fd, head, sizeof head, 0);
        if (got < 0) {
            failed(shown, std::string("could not read input file: ") + std::strerror(errno));
            close(fd);
            return;
        }
        const auto headSize = static_cast<std::size_t>(got);
        if (looksLikeRecordFile(head, headSize) || looksLikeSeries3Sound(head, headSize)) {
            Job job;
            job.kind = looksLikeRecordFile(head, headSize) ? Kind::record : Kind::series3;
            job.source = shown;
            job.folders = folders;
            job.fd = fd;
            job.mtime = info.st_mtim;
            job.mode = info.st_mode & wavMode;
            job.diskBytes = size;
            submit(std::move(job), name);
            return;
        }
        Job like;
        like.source = shown;
        like.folders = folders;
        like.mtime = info.st_mtim;
        like.mode = info.st_mode & wavMode;
        like.diskBytes = size;
        if (looksLikeEpocDocument(head, headSize)) {
            document(fd, like, name);
            return;
        }
        // A disk's first sector, a partition table or a file system's boot
        // sector, ends in 55 AA: such a file is looked at as a disk image
        // first, as libarchive takes some of those sectors for old tar
        // headers (a real one is padded there) and finds nothing in them.
        // Not an ISO 9660 image, which may end its first sector so to boot
        // from a stick and which libarchive reads; and only where libtsk
        // opens a file system in it.
        std::uint8_t mark[2] = {};
        std::uint8_t iso[5] = {};
        const bool bootSector = pread(fd, mark, sizeof mark, 510) == 2 && mark[0] == 0x55 && mark[1] == 0xAA &&
                                !(pread(fd, iso, sizeof iso, 32769) == 5 && std::memcmp(iso, "CD001", 5) == 0);
        if (bootSector && walkImage(path, like, name, rescue_, true)) {
            close(fd);
            skipped(shown, "a disk image: its files are reported apart", size);
            return;
        }
        ArchiveInput input;
        input.fd = fd;
        ArchivePtr reader;
        const Opened kind = openArchive(reader, input);
        if (kind == Opened::notArchive && walkImage(path, like, name, rescue_)) {
            close(fd);
            skipped(shown, "a disk image: its files are reported apart", size);
            return;
        }
        if (kind == Opened::notArchive && settings_.carve) {
            carve(preadAt(fd), size, like, name, rescue_);
        }
        if (kind == Opened::archive) {
            Budget budget;
            entries(reader.get(), {shown, plus(folders, name), 1, info.st_mtim, info.st_mode & wavMode, input}, budget);
        }
        close(fd);
        if (kind == Opened::archive) {
            skipped(shown, "an archive: its files are reported apart");  // their bytes counted, uncompressed
        } else if (kind == Opened::notArchive) {
            skipped(shown, "not a Record file, Series 3 sound or archive", size);
        } else {
            report(Outcome::failed, shown, damaged(reader.get(), input), size);
        }
    }

    // A document on disk, read whole (it is small: the device's memory holds it).
    void document(int fd, const Job& like, const std::string& name) {
        if (like.diskBytes > settings_.maxEntrySize) {
            failed(like.source, "larger than " + sizeText(settings_.maxEntrySize) + " (--max-entry-size)");
            close(fd);
            return;
        }
        std::vector<std::uint8_t> data(static_cast<std::size_t>(like.diskBytes));
        if (preadAt(fd)(data.data(), data.size(), 0)) {
            rescueNotes(data, like, name, rescue_);
        } else {
            failed(like.source, std::string("could not read input file: ") + std::strerror(errno));
        }
        close(fd);
    }

    static ReadAt preadAt(int fd) {
        return [fd](std::uint8_t* into, std::size_t size, std::uint64_t at) {
            for (std::size_t done = 0; done < size;) {
                const ssize_t got = pread(fd, into + done, size - done, static_cast<off_t>(at + done));
                if (got <= 0) {
                    return false;
                }
                done += static_cast<std::size_t>(got);
            }
            return true;
        };
    }

    // Reads up to `limit` more bytes of the current entry into `data`; false
    // on a read error, `fatal` when the rest of the archive is lost too.
    bool read(archive* reader, std::vector<std::uint8_t>& data, std::uint64_t limit, Budget& budget) {
        const std::size_t start = data.size();
        while (data.size() - start < limit) {
            const std::size_t at = data.size();
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(readBlock, limit - (at - start)));
            // Within the room reserved for an entry of known size: no copy, and
            // no fresh pages for every entry.
            if (data.capacity() > at) {
                want = std::min(want, data.capacity() - at);
            }
            data.resize(at + want);
            const la_ssize_t got = archive_read_data(reader, data.data() + at, want);
            data.resize(at + (got > 0 ? static_cast<std::size_t>(got) : 0));
            if (got < 0) {
                fatal_ = got == ARCHIVE_FATAL;
                return false;
            }
            budget.used += static_cast<std::uint64_t>(got);
            unreported_ += static_cast<std::uint64_t>(got);
            if (got == 0) {
                break;
            }
        }
        return true;
    }

    // Passes over the rest of an entry, counting it against the budget.
    bool skip(archive* reader, std::uint64_t knownRest, bool sized, Budget& budget) {
        if (sized) {
            budget.used += knownRest;
            unreported_ += knownRest;
            fatal_ = archive_read_data_skip(reader) < ARCHIVE_WARN;
            return !fatal_;
        }
        std::vector<std::uint8_t> scratch;
        for (;;) {
            scratch.clear();
            if (!read(reader, scratch, readBlock, budget)) {
                return false;
            }
            if (scratch.empty() || budget.used > settings_.maxTotalSize) {
                return true;
            }
        }
    }

    bool overBudget(const Budget& budget, const std::string& shown) {
        if (budget.used <= settings_.maxTotalSize) {
            return false;
        }
        failed(shown, "stopped: its files expand past " + sizeText(settings_.maxTotalSize) + " (--max-total-size)");
        return true;
    }

    // Every entry of an open archive; false when the total budget stopped it,
    // which stops the archives around it too.
    bool entries(archive* reader, const Level& level, Budget& budget) {
        la_int64_t damagedAt = -1;  // where the last damaged header was passed
        for (;;) {
            archive_entry* entry = nullptr;
            const int status = archive_read_next_header(reader, &entry);
            if (status == ARCHIVE_EOF) {
                return true;
            }
            if (status == ARCHIVE_RETRY || status == ARCHIVE_FAILED) {
                // A damaged header, reported once; libarchive then looks for
                // the next good one, as tar does, unless it cannot move on.
                const la_int64_t at = archive_filter_bytes(reader, 0);
                if (damagedAt < 0) {
                    failed(level.shown, damaged(reader, level.input) + " (read on past the damage)");
                }
                if (at == damagedAt) {
                    return true;
                }
                damagedAt = at;
                continue;
            }
            if (status < ARCHIVE_WARN) {
                failed(level.shown, damaged(reader, level.input));
                return true;
            }
            damagedAt = -1;
            const Step step = entryOf(reader, entry, level, budget);
            if (step != Step::next) {
                return step == Step::stopArchive;
            }
        }
    }

    // After the entry's data was read or skipped: the budget decides.
    Step afterData(const Level& level, const Budget& budget) {
        return overBudget(budget, level.shown) ? Step::stopAll : Step::next;
    }

    Step entryOf(archive* reader, archive_entry* entry, const Level& level, Budget& budget) {
        const std::string raw = entryName(entry);
        const std::optional<std::uint64_t> size = entrySize(entry);
        // Every entry's data counts, a folder's, a link's or a pipe's too:
        // libarchive expands what it skips.
        if (size && *size > settings_.maxTotalSize - std::min(budget.used, settings_.maxTotalSize)) {
            budget.used += *size;
            overBudget(budget, level.shown);
            return Step::stopAll;
        }
        const bool link = archive_entry_hardlink(entry) != nullptr || archive_entry_symlink(entry) != nullptr;
        const EntryType type = entryType(archive_entry_filetype(entry), link);
        if (type == EntryType::file) {
            return fileEntry(reader, entry, level, budget, raw);
        }
        if (type == EntryType::other) {
            skipped(level.shown + "!/" + raw, "a link or special file in an archive: never followed or made");
        }
        if (!skip(reader, size.value_or(0), size.has_value(), budget)) {
            return unreadable(reader, raw, level);
        }
        return afterData(level, budget);
    }

    Step fileEntry(archive* reader, archive_entry* entry, const Level& level, Budget& budget, const std::string& raw) {
        const std::string entryShown = level.shown + "!/" + raw;
        const std::optional<std::uint64_t> size = entrySize(entry);
        std::vector<std::uint8_t> data;
        if (!read(reader, data, entryHeadSize, budget)) {
            return unreadable(reader, raw, level);
        }
        const Content content = contentOf(data.data(), data.size());
        const std::optional<Placement> placement = placeEntry(level.folders, raw);
        const EntryVerdict verdict = judgeEntry(content, placement.has_value(), level.depth, size, settings_);
        if (!verdict.read) {
            const std::uint64_t rest = size && *size > data.size() ? *size - data.size() : 0;
            if (!skip(reader, rest, size.has_value(), budget)) {
                return unreadable(reader, raw, level);
            }
            report(verdict.outcome, entryShown, verdict.reason);
            return afterData(level, budget);
        }
        // The whole entry, one byte past the limit to tell a larger one,
        // into room made once it is known to matter.
        if (size) {
            data.reserve(static_cast<std::size_t>(std::min(*size, settings_.maxEntrySize)) + 1);
        }
        if (!read(reader, data,
                  settings_.maxEntrySize + 1 - std::min<std::uint64_t>(data.size(), settings_.maxEntrySize), budget)) {
            return unreadable(reader, raw, level);
        }
        if (overBudget(budget, level.shown)) {
            return Step::stopAll;
        }
        if (data.size() > settings_.maxEntrySize) {
            failed(entryShown, "larger than " + sizeText(settings_.maxEntrySize) + " (--max-entry-size)");
            return skip(reader, 0, false, budget) ? Step::next : Step::stopArchive;
        }
        const timespec mtime = archive_entry_mtime_is_set(entry) != 0
                                   ? timespec{archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}
                                   : level.time;
        const mode_t mode = entryMode(level.mode, archive_entry_perm(entry));
        if (content == Content::archive) {
            return nestedArchive(
                data, entryShown,
                {entryShown, plus(placement->folders, placement->name), level.depth + 1, mtime, mode, level.input},
                budget);
        }
        Job job;
        job.kind = content == Content::record ? Kind::record : Kind::series3;
        job.source = entryShown;
        job.folders = placement->folders;
        job.bytes = std::move(data);
        job.mtime = mtime;
        job.mode = mode;
        if (content == Content::document) {
            rescueNotes(job.bytes, job, placement->name, rescue_);
            return Step::next;
        }
        submit(std::move(job), placement->name);
        return Step::next;
    }

    Step nestedArchive(const std::vector<std::uint8_t>& data, const std::string& entryShown, const Level& outer,
                       Budget& budget) {
        ArchiveInput input;
        input.data = data.data();
        input.size = data.size();
        ArchivePtr inner;
        const Opened kind = openArchive(inner, input);
        if (kind == Opened::notArchive) {
            skipped(entryShown, "not a Record file, Series 3 sound or archive");
            return Step::next;
        }
        if (kind != Opened::archive) {
            failed(entryShown, damaged(inner.get(), input));
            return Step::next;
        }
        const Level level{outer.shown, outer.folders, outer.depth, outer.time, outer.mode, input};
        const bool whole = entries(inner.get(), level, budget);
        skipped(entryShown, "an archive: its files are reported apart");
        return whole ? Step::next : Step::stopAll;
    }

    // An entry that cannot be read: the archive goes on to its next entry
    // (say after an encrypted one) unless libarchive has lost its place,
    // and then says so: what follows is never silently lost.
    Step unreadable(archive* reader, const std::string& raw, const Level& level) {
        const std::string cause = archiveError(reader, level.input);
        failed(level.shown + "!/" + raw, level.input.error != 0 ? cause : "could not read from the archive: " + cause);
        if (!fatal_ && archive_read_data_skip(reader) >= ARCHIVE_WARN) {
            return Step::next;
        }
        failed(level.shown, "could not read past " + raw);
        return Step::stopArchive;
    }

    const Settings& settings_;
    Pipeline& pipeline_;
    Namer& namer_;
    Rescue rescue_;
    bool fatal_ = false;  // of the last read
    // Bytes of archive entries read, uncompressed, since the last report:
    // the next one carries them, for the progress line.
    std::uint64_t unreported_ = 0;
};

}  // namespace

EntryType entryType(mode_t type, bool link) {
    if (type == S_IFDIR) {
        return EntryType::folder;
    }
    return (type == S_IFREG || type == 0) && !link ? EntryType::file : EntryType::other;
}

Content contentOf(const std::uint8_t* head, std::size_t size) {
    if (looksLikeRecordFile(head, size)) {
        return Content::record;
    }
    if (looksLikeSeries3Sound(head, size)) {
        return Content::series3;
    }
    if (looksLikeEpocDocument(head, size)) {
        return Content::document;
    }
    // Only the head: an archive whose format is known but which cannot be
    // read from it is tried whole. One that holds nothing at all (as
    // libarchive takes zeros for an empty tar) is no archive to fail over.
    ArchiveInput input;
    input.data = head;
    input.size = size;
    ArchivePtr probe;
    const Opened kind = openArchive(probe, input);
    archive_entry* entry = nullptr;
    if (kind == Opened::notArchive ||
        (kind == Opened::archive && archive_read_next_header(probe.get(), &entry) == ARCHIVE_EOF)) {
        return Content::other;
    }
    return Content::archive;
}

std::optional<Placement> placeEntry(const std::vector<std::string>& archiveFolders, std::string_view entryName) {
    std::vector<std::string> parts = safeEntryPath(entryName);
    if (parts.empty()) {
        return std::nullopt;
    }
    Placement placement{archiveFolders, parts.back()};
    placement.folders.insert(placement.folders.end(), parts.begin(), parts.end() - 1);
    return placement;
}

EntryVerdict judgeEntry(Content content, bool named, unsigned depth, std::optional<std::uint64_t> size,
                        const Settings& settings) {
    std::string problem;
    if (!named) {
        problem = "no name to give its WAV";
    } else if (content == Content::archive && depth >= settings.archiveDepth) {
        problem = "an archive inside " + std::to_string(depth) + " archives (--archive-depth opens deeper ones)";
    } else if (content != Content::other && size && *size > settings.maxEntrySize) {
        problem = "larger than " + sizeText(settings.maxEntrySize) + " (--max-entry-size)";
    }
    if (content == Content::other) {
        return {false, Outcome::skipped, problem.empty() ? "not a Record file, Series 3 sound or archive" : problem};
    }
    if (!problem.empty()) {
        return {false, Outcome::failed, problem};
    }
    return {true, Outcome::converted, ""};
}

mode_t entryMode(mode_t archiveMode, mode_t entryPermissions) {
    const mode_t own = entryPermissions & wavMode;
    return archiveMode & wavMode & (own != 0 ? own : wavMode);
}

void walkSource(const std::string& source, const Settings& settings, Pipeline& pipeline, Namer& namer,
                std::uint64_t& bytes) {
    Walk walk(settings, pipeline, namer);
    walk.source(source);
    bytes += walk.bytes;
}

}  // namespace recwav::scan
