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
// anything at all.
ArchivePtr newReader() {
    ArchivePtr reader(archive_read_new());
    for (const auto support :
         {archive_read_support_format_7zip, archive_read_support_format_ar, archive_read_support_format_cab,
          archive_read_support_format_cpio, archive_read_support_format_iso9660, archive_read_support_format_lha,
          archive_read_support_format_rar, archive_read_support_format_rar5, archive_read_support_format_tar,
          archive_read_support_format_warc, archive_read_support_format_xar, archive_read_support_format_zip,
          // Compression, in-process only: none that runs another program.
          archive_read_support_filter_bzip2, archive_read_support_filter_compress, archive_read_support_filter_gzip,
          archive_read_support_filter_lz4, archive_read_support_filter_lzip, archive_read_support_filter_lzma,
          archive_read_support_filter_xz, archive_read_support_filter_zstd}) {
        support(reader.get());
    }
    return reader;
}

// How opening an archive went: libarchive tells a file in no format it
// knows from one whose format it knows but cannot read.
enum class Opened { archive, notArchive, damaged };

Opened opened(archive* reader, int status) {
    if (status >= ARCHIVE_WARN) {
        return Opened::archive;
    }
    // libarchive's error number for "Unrecognized archive format", which its public header leaves out.
    constexpr int unknownFormat = EILSEQ;
    return archive_errno(reader) == unknownFormat ? Opened::notArchive : Opened::damaged;
}

std::string archiveError(archive* reader) {
    const char* text = archive_error_string(reader);
    return text != nullptr ? text : "unknown error";
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

class Walk {
public:
    Walk(const Settings& settings, Pipeline& pipeline, Namer& namer)
        : settings_(settings), pipeline_(pipeline), namer_(namer), rescue_{settings, pipeline, namer} {}

    std::uint64_t bytes = 0;

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
        result.bytes = diskBytes;
        pipeline_.report(std::move(result));
    }
    void failed(const std::string& shown, std::string message) { report(Outcome::failed, shown, std::move(message)); }
    void skipped(const std::string& shown, std::string message, std::uint64_t diskBytes = 0) {
        report(Outcome::skipped, shown, std::move(message), diskBytes);
    }

    // Names the WAV and hands the job over; `job.bytes` or `job.fd` is set.
    void submit(Job job, const std::string& sourceName) {
        job.seq = pipeline_.reserve(job.bytes.size());
        const std::string wanted = wavName(sourceName);
        job.name = namer_.assign(job.folders, wanted);
        if (job.name != wanted) {
            job.wanted = wanted;
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
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
        // The same order on every run, so that names given apart stay apart alike.
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string child = joined(path, name);
            const std::string childShown = joined(shown, name);
            struct stat info {};
            if (stat(child.c_str(), &info) != 0) {
                struct stat link {};
                if (lstat(child.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                    skipped(childShown, "a symbolic link to nothing");
                } else {
                    failed(childShown, std::string("could not open input file: ") + std::strerror(errno));
                }
            } else if (S_ISDIR(info.st_mode)) {
                const std::pair<dev_t, ino_t> id{info.st_dev, info.st_ino};
                if (std::find(chain.begin(), chain.end(), id) != chain.end()) {
                    skipped(childShown, "a symbolic link loop: a folder it is already inside");
                    continue;
                }
                chain.push_back(id);
                folder(child, childShown, plus(folders, name), chain);
                chain.pop_back();
            } else if (S_ISREG(info.st_mode)) {
                file(child, childShown, folders, name);
            } else {
                skipped(childShown, "not a regular file");  // a device or pipe is never opened
            }
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
        bytes += size;
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
            job.diskBytes = size;
            submit(std::move(job), name);
            return;
        }
        Job like;
        like.source = shown;
        like.folders = folders;
        like.mtime = info.st_mtim;
        like.diskBytes = size;
        if (looksLikeEpocDocument(head, headSize)) {
            document(fd, like, name);
            return;
        }
        const ArchivePtr reader = newReader();
        const Opened kind = opened(reader.get(), archive_read_open_fd(reader.get(), fd, readBlock));
        if (kind != Opened::archive) {
            if (kind == Opened::notArchive && walkImage(path, like, name, rescue_)) {
                close(fd);
                skipped(shown, "a disk image: its files are reported apart", size);
                return;
            }
            if (kind == Opened::notArchive && settings_.carve) {
                carve(preadAt(fd), size, like, name, rescue_);
            }
            close(fd);
            if (kind == Opened::notArchive) {
                skipped(shown, "not a Record file, Series 3 sound or archive", size);
            } else {
                report(Outcome::failed, shown, "damaged archive: " + archiveError(reader.get()), size);
            }
            return;
        }
        Budget budget;
        entries(reader.get(), shown, plus(folders, name), 1, info.st_mtim, budget);
        close(fd);
        skipped(shown, "an archive: its files are reported apart", size);
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
            return archive_read_data_skip(reader) >= ARCHIVE_WARN;
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
    bool entries(archive* reader, const std::string& shown, const std::vector<std::string>& folders, unsigned depth,
                 const timespec& archiveTime, Budget& budget) {
        for (;;) {
            archive_entry* entry = nullptr;
            const int status = archive_read_next_header(reader, &entry);
            if (status == ARCHIVE_EOF) {
                return true;
            }
            if (status < ARCHIVE_WARN) {
                failed(shown, "damaged archive: " + archiveError(reader));
                return true;
            }
            const char* utf8 = archive_entry_pathname_utf8(entry);
            const char* native = archive_entry_pathname(entry);
            const std::string raw = utf8 != nullptr ? utf8 : native != nullptr ? native : "";
            std::string entryShown = shown + "!/";
            entryShown += raw;
            if (archive_entry_filetype(entry) == AE_IFDIR) {
                continue;
            }
            // An entry with no type bits at all (as deterministic ar
            // archives write them) is a file, unless it is a link.
            const auto type = archive_entry_filetype(entry);
            const bool link = archive_entry_hardlink(entry) != nullptr || archive_entry_symlink(entry) != nullptr;
            if ((type != AE_IFREG && type != 0) || link) {
                skipped(entryShown, "a link or special file in an archive: never followed or made");
                continue;
            }
            std::vector<std::string> parts = safeEntryPath(raw);
            const bool sized = archive_entry_size_is_set(entry) != 0;
            const auto size = static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0));
            if (sized && size > settings_.maxTotalSize - std::min(budget.used, settings_.maxTotalSize)) {
                budget.used += size;
                overBudget(budget, shown);
                return false;
            }
            std::vector<std::uint8_t> data;
            if (!read(reader, data, entryHeadSize, budget)) {
                if (unreadable(reader, entryShown)) {
                    continue;
                }
                return true;
            }
            const std::uint64_t rest = sized && size > data.size() ? size - data.size() : 0;
            const bool record = looksLikeRecordFile(data.data(), data.size());
            const bool series3 = !record && looksLikeSeries3Sound(data.data(), data.size());
            const bool document = !record && !series3 && looksLikeEpocDocument(data.data(), data.size());
            bool nested = false;
            if (!record && !series3 && !document) {
                // Only the head: an archive whose format is known but which
                // cannot be read from it is tried whole.
                const ArchivePtr probe = newReader();
                nested = opened(probe.get(), archive_read_open_memory(probe.get(), data.data(), data.size())) !=
                         Opened::notArchive;
            }
            std::string problem;
            if (parts.empty()) {
                problem = "no name to give its WAV";
            } else if (nested && depth >= settings_.archiveDepth) {
                problem =
                    "an archive inside " + std::to_string(depth) + " archives (--archive-depth opens deeper ones)";
            } else if ((record || series3 || document || nested) && sized && size > settings_.maxEntrySize) {
                problem = "larger than " + sizeText(settings_.maxEntrySize) + " (--max-entry-size)";
            }
            if (!problem.empty() || (!record && !series3 && !document && !nested)) {
                if (!skip(reader, rest, sized, budget)) {
                    if (unreadable(reader, entryShown)) {
                        continue;
                    }
                    return true;
                }
                if (problem.empty()) {
                    skipped(entryShown, "not a Record file, Series 3 sound or archive");
                } else if (!record && !series3 && !nested) {
                    skipped(entryShown, problem);
                } else {
                    failed(entryShown, problem);
                }
                if (overBudget(budget, shown)) {
                    return false;
                }
                continue;
            }
            // The whole entry, one byte past the limit to tell a larger one,
            // into room made once it is known to matter.
            if (sized) {
                data.reserve(static_cast<std::size_t>(std::min(size, settings_.maxEntrySize)) + 1);
            }
            if (!read(reader, data,
                      settings_.maxEntrySize + 1 - std::min<std::uint64_t>(data.size(), settings_.maxEntrySize),
                      budget)) {
                if (unreadable(reader, entryShown)) {
                    continue;
                }
                return true;
            }
            if (overBudget(budget, shown)) {
                return false;
            }
            if (data.size() > settings_.maxEntrySize) {
                failed(entryShown, "larger than " + sizeText(settings_.maxEntrySize) + " (--max-entry-size)");
                if (!skip(reader, 0, false, budget)) {
                    return true;
                }
                continue;
            }
            const std::string name = parts.back();
            parts.pop_back();
            std::vector<std::string> entryFolders = folders;
            entryFolders.insert(entryFolders.end(), parts.begin(), parts.end());
            const timespec mtime = archive_entry_mtime_is_set(entry) != 0
                                       ? timespec{archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}
                                       : archiveTime;
            if (nested) {
                const ArchivePtr inner = newReader();
                const Opened kind =
                    opened(inner.get(), archive_read_open_memory(inner.get(), data.data(), data.size()));
                if (kind == Opened::notArchive) {
                    skipped(entryShown, "not a Record file, Series 3 sound or archive");
                    continue;
                }
                if (kind == Opened::damaged) {
                    failed(entryShown, "damaged archive: " + archiveError(inner.get()));
                    continue;
                }
                const bool whole = entries(inner.get(), entryShown, plus(entryFolders, name), depth + 1, mtime, budget);
                skipped(entryShown, "an archive: its files are reported apart");
                if (!whole) {
                    return false;
                }
                continue;
            }
            Job job;
            job.kind = record ? Kind::record : Kind::series3;
            job.source = entryShown;
            job.folders = std::move(entryFolders);
            job.bytes = std::move(data);
            job.mtime = mtime;
            if (document) {
                rescueNotes(job.bytes, job, name, rescue_);
                continue;
            }
            submit(std::move(job), name);
        }
    }

    // An entry that cannot be read: the archive goes on to its next entry
    // (say after an encrypted one) unless libarchive has lost its place.
    bool unreadable(archive* reader, const std::string& entryShown) {
        failed(entryShown, "could not read from the archive: " + archiveError(reader));
        return !fatal_ && archive_read_data_skip(reader) >= ARCHIVE_WARN;
    }

    const Settings& settings_;
    Pipeline& pipeline_;
    Namer& namer_;
    Rescue rescue_;
    bool fatal_ = false;  // of the last read
};

}  // namespace

void walkSource(const std::string& source, const Settings& settings, Pipeline& pipeline, Namer& namer,
                std::uint64_t& bytes) {
    Walk walk(settings, pipeline, namer);
    walk.source(source);
    bytes += walk.bytes;
}

}  // namespace recwav::scan
