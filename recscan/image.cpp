// SPDX-License-Identifier: MIT
// Disk images through The Sleuth Kit: raw, split and forensic containers,
// partition tables, and the file systems it reads, deleted entries included.
// Read-only and a file at a time, so a card of any size is walked, not held.
#include <tsk/libtsk.h>

#include <algorithm>
#include <memory>
#include <utility>

#include <recwav/embedded.hpp>
#include <recwav/recordfile.hpp>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

struct ImageCloser {
    void operator()(TSK_IMG_INFO* image) const { tsk_img_close(image); }
};
struct VolumesCloser {
    void operator()(TSK_VS_INFO* volumes) const { tsk_vs_close(volumes); }
};
struct FileSystemCloser {
    void operator()(TSK_FS_INFO* fs) const { tsk_fs_close(fs); }
};
using FileSystemPtr = std::unique_ptr<TSK_FS_INFO, FileSystemCloser>;

// Smaller than any file system's first structures: not worth asking libtsk.
constexpr std::uint64_t smallestImage = 4096;
constexpr std::size_t readBlock = std::size_t{1} << 20;

std::vector<std::string> plusFolder(std::vector<std::string> folders, const std::string& name) {
    folders.push_back(name);
    return folders;
}

std::string tskError() {
    const char* text = tsk_error_get();
    std::string error = text != nullptr ? text : "unknown error";
    tsk_error_reset();
    return error;
}

class ImageWalk {
public:
    explicit ImageWalk(Rescue& rescue) : rescue_(rescue) {}

    // Every file of `fs`, below `folders` and shown after `shown` ("card.img!/").
    void fileSystem(TSK_FS_INFO* fs, std::vector<std::string> folders, std::string shown) {
        folders_ = std::move(folders);
        shown_ = std::move(shown);
        // The orphans' folder is left out: libtsk would read every entry of
        // the file system to fill it.
        const auto flags =
            static_cast<TSK_FS_DIR_WALK_FLAG_ENUM>(TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC |
                                                   TSK_FS_DIR_WALK_FLAG_RECURSE | TSK_FS_DIR_WALK_FLAG_NOORPHAN);
        if (tsk_fs_dir_walk(fs, fs->root_inum, flags, visit, this) != 0) {
            std::string where = shown_;  // "card.img!/" or "card.img!/2/"
            where.pop_back();
            if (!where.empty() && where.back() == '!') {
                where.pop_back();
            }
            failed(where, "damaged file system: " + tskError());
        }
    }

    // Whether the image's byte at `offset` belongs to a file the walk read.
    bool named(std::uint64_t offset) const {
        const auto after = std::upper_bound(read_.begin(), read_.end(), std::pair{offset, UINT64_MAX});
        return after != read_.begin() && offset < std::prev(after)->second;
    }
    void sortRead() { std::sort(read_.begin(), read_.end()); }

private:
    static TSK_WALK_RET_ENUM visit(TSK_FS_FILE* file, const char* path, void* self) {
        static_cast<ImageWalk*>(self)->file(file, path != nullptr ? path : "");
        return TSK_WALK_CONT;
    }

    void failed(const std::string& shown, std::string message) {
        reportAlone(rescue_, Outcome::failed, shown, std::move(message));
    }

    void file(TSK_FS_FILE* file, const std::string& path) {
        const TSK_FS_NAME* name = file->name;
        const TSK_FS_META* meta = file->meta;
        if (name == nullptr || name->name == nullptr || TSK_FS_ISDOT(name->name) || meta == nullptr ||
            meta->type != TSK_FS_META_TYPE_REG || meta->size <= 0) {
            return;  // folders are walked by libtsk; a deleted entry without its metadata holds nothing
        }
        const bool deleted = (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0;
        const std::string shown = shown_ + path + name->name;
        std::uint8_t head[series3SoundHeaderSize] = {};
        const auto size = static_cast<std::uint64_t>(meta->size);
        const ssize_t got = tsk_fs_file_read(file, 0, reinterpret_cast<char*>(head),
                                             std::min<std::size_t>(sizeof head, size), TSK_FS_FILE_READ_FLAG_NONE);
        const auto headSize = static_cast<std::size_t>(std::max<ssize_t>(got, 0));
        const bool record = looksLikeRecordFile(head, headSize);
        const bool series3 = !record && looksLikeSeries3Sound(head, headSize);
        const bool document = !record && !series3 && looksLikeEpocDocument(head, headSize);
        std::vector<std::string> parts = safeEntryPath(path + name->name);
        if (!record && !series3 && !document) {
            skip(shown, got < 0 ? "could not read: " + tskError() : "not a Record file, Series 3 sound or document");
            return;
        }
        if (parts.empty()) {
            failed(shown, "no name to give its WAV");
            return;
        }
        if (size > rescue_.settings.maxEntrySize) {
            failed(shown, "larger than " + std::to_string(rescue_.settings.maxEntrySize) + " bytes (--max-entry-size)");
            return;
        }
        Job job;
        job.kind = record ? Kind::record : Kind::series3;
        job.source = shown;
        job.deleted = deleted;
        job.mtime = timespec{meta->mtime, static_cast<long>(meta->mtime_nano)};
        if (!readWhole(file, size, deleted, job.bytes)) {
            failed(shown, "could not read from the image: " + tskError());
            return;
        }
        if (rescue_.settings.carve) {
            tsk_fs_file_walk(file, static_cast<TSK_FS_FILE_WALK_FLAG_ENUM>(TSK_FS_FILE_WALK_FLAG_AONLY), block, this);
        }
        const std::string fileName = parts.back();
        parts.pop_back();
        job.folders = folders_;
        job.folders.insert(job.folders.end(), parts.begin(), parts.end());
        if (document) {
            rescueNotes(job.bytes, job, fileName, rescue_);
        } else {
            submitFound(std::move(job), fileName, rescue_);
        }
    }

    void skip(const std::string& shown, std::string message) {
        reportAlone(rescue_, Outcome::skipped, shown, std::move(message));
    }

    // A deleted file's clusters may have gone to another file or past the
    // image's end: what can be read of them is what it is.
    static bool readWhole(TSK_FS_FILE* file, std::uint64_t size, bool deleted, std::vector<std::uint8_t>& bytes) {
        bytes.resize(static_cast<std::size_t>(size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got =
                tsk_fs_file_read(file, static_cast<TSK_OFF_T>(done), reinterpret_cast<char*>(bytes.data() + done),
                                 std::min(readBlock, bytes.size() - done), TSK_FS_FILE_READ_FLAG_NONE);
            if (got <= 0) {
                bytes.resize(done);
                return deleted && done > 0;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    static TSK_WALK_RET_ENUM block(TSK_FS_FILE* file, TSK_OFF_T, TSK_DADDR_T address, char*, size_t size,
                                   TSK_FS_BLOCK_FLAG_ENUM, void* self) {
        auto& walk = *static_cast<ImageWalk*>(self);
        const std::uint64_t start =
            static_cast<std::uint64_t>(file->fs_info->offset) + std::uint64_t{address} * file->fs_info->block_size;
        if (!walk.read_.empty() && walk.read_.back().second == start) {
            walk.read_.back().second += size;
        } else {
            walk.read_.emplace_back(start, start + size);
        }
        return TSK_WALK_CONT;
    }

    Rescue& rescue_;
    std::vector<std::string> folders_;
    std::string shown_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> read_;  // image bytes of the files read
};

// Every file system of a volume system's allocated partitions, in a folder
// of each one's number when there is more than one. False, with nothing
// reported, where there is no volume system, or none of its file systems
// opens and `fileSystemNeeded`.
bool walkVolumes(TSK_IMG_INFO* image, ImageWalk& walk, const Job& like, const std::vector<std::string>& folders,
                 Rescue& rescue, bool fileSystemNeeded) {
    const std::unique_ptr<TSK_VS_INFO, VolumesCloser> volumes(tsk_vs_open(image, 0, TSK_VS_TYPE_DETECT));
    if (!volumes) {
        tsk_error_reset();
        return false;
    }
    std::vector<std::pair<unsigned, FileSystemPtr>> systems;
    std::vector<Result> unread;
    unsigned number = 0;
    for (TSK_PNUM_T i = 0; i < volumes->part_count; ++i) {
        const TSK_VS_PART_INFO* part = tsk_vs_part_get(volumes.get(), i);
        if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) {
            continue;
        }
        ++number;
        FileSystemPtr fs(tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT));
        if (!fs) {
            Result result;
            result.outcome = Outcome::failed;
            result.source = like.source + "!/" + std::to_string(number);
            result.message = "no file system libtsk reads in partition " + std::to_string(number) + ": " + tskError();
            unread.push_back(std::move(result));
            continue;
        }
        systems.emplace_back(number, std::move(fs));
    }
    if (systems.empty() && fileSystemNeeded) {
        return false;
    }
    for (Result& result : unread) {
        rescue.pipeline.report(std::move(result));
    }
    for (auto& [partition, fs] : systems) {
        if (systems.size() == 1) {
            walk.fileSystem(fs.get(), folders, like.source + "!/");
        } else {
            walk.fileSystem(fs.get(), plusFolder(folders, std::to_string(partition)),
                            like.source + "!/" + std::to_string(partition) + "/");
        }
    }
    return true;
}

}  // namespace

bool walkImage(const std::string& path, const Job& like, const std::string& name, Rescue& rescue,
               bool fileSystemNeeded) {
    if (like.diskBytes < smallestImage) {
        return false;
    }
    const std::unique_ptr<TSK_IMG_INFO, ImageCloser> image(
        tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_DETECT, 0));
    if (!image) {
        tsk_error_reset();
        return false;
    }
    std::vector<std::string> folders = like.folders;
    folders.push_back(name);
    ImageWalk walk(rescue);
    if (const FileSystemPtr fs(tsk_fs_open_img(image.get(), 0, TSK_FS_TYPE_DETECT)); fs) {
        walk.fileSystem(fs.get(), folders, like.source + "!/");
    } else {
        tsk_error_reset();
        if (!walkVolumes(image.get(), walk, like, folders, rescue, fileSystemNeeded)) {
            return false;
        }
    }
    if (rescue.settings.carve) {
        walk.sortRead();
        TSK_IMG_INFO* raw = image.get();
        const ReadAt read = [raw](std::uint8_t* into, std::size_t size, std::uint64_t at) {
            return tsk_img_read(raw, static_cast<TSK_OFF_T>(at), reinterpret_cast<char*>(into), size) ==
                   static_cast<ssize_t>(size);
        };
        carve(read, static_cast<std::uint64_t>(image->size), like, name, rescue,
              [&walk](std::uint64_t offset) { return walk.named(offset); });
    }
    return true;
}

}  // namespace recwav::scan
