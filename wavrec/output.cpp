// SPDX-License-Identifier: MIT
#include "wavrec/output.hpp"

#include <recwav/platform.hpp>
#include <recwav/recordfile.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace recwav {

namespace {

// The output of the run: one at a time in a process.
SafeOutput current;
std::string target;  // the file the output path names, links followed
std::string folder;  // the folder that holds it
int folderFd = -1;

void closeFolder() {
    if (folderFd >= 0) {
        close(folderFd);
        folderFd = -1;
    }
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// The folder that holds `path`, with no link in it; empty on failure, with
// errno set.
std::string realFolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(parent.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

// Whether `link` is one of /proc's links to a process's open files: it
// lies in a folder /proc/PID/fd (or /proc/PID/task/TID/fd), however reached.
bool isDescriptorLink(const std::string& link) {
    const std::string folder = realFolderOf(link);
    return folder.rfind("/proc/", 0) == 0 && folder.size() > 3 && folder.compare(folder.size() - 3, 3, "/fd") == 0;
}

// Whether the regular file `fd` holds something other than a Record file:
// not to be replaced by one unasked.
bool holdsOtherThanARecordFile(int fd) {
    std::array<std::uint8_t, recordSignatureSize> head{};
    const ssize_t got = pread(fd, head.data(), head.size(), 0);
    return got > 0 && !looksLikeRecordFile(head.data(), static_cast<std::size_t>(got));
}

// The file that `path` names once its symbolic links are followed, in a
// folder with none: the temporary file goes beside it and is renamed over it,
// so a link to the output stays a link. A path that names nothing yet names
// the new file, as does a link that points at nothing. Empty on failure, with
// errno set. `descriptor` tells whether one of the links is an open file
// descriptor's, as /dev/stdout and /proc/self/fd/N are.
std::string followLinks(const char* path, bool& descriptor) {
    constexpr int maxLinks = 40;  // as the kernel allows, then ELOOP
    std::string current = path;
    descriptor = false;
    for (int links = 0;; ++links) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0) {
            if (errno != ENOENT) {
                return {};
            }
            break;
        }
        if (!S_ISLNK(info.st_mode)) {
            break;
        }
        descriptor = descriptor || isDescriptorLink(current);
        if (links == maxLinks) {
            errno = ELOOP;
            return {};
        }
        std::string text(PATH_MAX, '\0');
        const ssize_t length = readlink(current.c_str(), text.data(), text.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) == text.size()) {
            errno = ENAMETOOLONG;
            return {};
        }
        text.resize(static_cast<std::size_t>(length));
        const std::size_t slash = current.rfind('/');
        if ((!text.empty() && text.front() == '/') || slash == std::string::npos) {
            current = text;
        } else {
            current.resize(slash + 1);  // a relative link is read from its own folder
            current += text;
        }
    }
    const std::string realFolder = realFolderOf(current);
    if (realFolder.empty()) {
        return {};
    }
    const std::size_t slash = current.rfind('/');
    const std::string name = slash == std::string::npos ? current : current.substr(slash + 1);
    return realFolder + (realFolder.back() == '/' ? "" : "/") + name;
}

// Creates the new file beside `target`, with the mode, owner and group of the
// file it will replace, or the mode a new file would get, and opens it as a
// stream for writing and reading back. Null on failure, errno set.
std::FILE* createTemporary(const struct stat* replaced) {
    folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return nullptr;
    }
    const std::string name = target.substr(target.rfind('/') + 1);
    armSafeOutputs();
    if (!createSafeOutput(current, folderFd, name, {"wavrec", newFileMode(), false})) {
        const int cause = errno;
        disarmSafeOutputs();
        closeFolder();
        errno = cause;
        return nullptr;
    }
    if (replaced != nullptr) {
        keepModeAndOwner(current.fd, *replaced);
    }
    const int own = dup(current.fd);
    std::FILE* file = own >= 0 ? fdopen(own, "w+b") : nullptr;
    if (file == nullptr) {
        const int cause = errno;
        if (own >= 0) {
            close(own);
        }
        discardOutput(nullptr);
        errno = cause;
    }
    return file;
}

// Why the file that `path` reaches (`exists`, `reached`) cannot be the
// output, or nothing. A Record file is written whole and its counts set at
// the end, so it cannot stream to a device or a pipe; and renaming over one
// would put a plain file in its place.
std::string refusalOfReached(const char* path, bool exists, const struct stat& reached) {
    if (!exists && errno != ENOENT) {
        return "cannot write " + quoted(path) + ": " + std::strerror(errno);
    }
    if (exists && !S_ISREG(reached.st_mode)) {
        return "cannot write " + quoted(path) + ": " +
               (S_ISDIR(reached.st_mode) ? std::string(std::strerror(EISDIR))
                                         : "not a regular file (a Record file cannot stream to a device or pipe)");
    }
    if (exists && reached.st_nlink == 0) {
        return "cannot write " + quoted(path) + ": the file it leads to has been deleted";
    }
    return "";
}

}  // namespace

std::FILE* openOutput(const char* path, bool replaceAny, std::string& message) {
    // What the path reaches, through every link, /proc's descriptor links too.
    struct stat reached {};
    const bool exists = stat(path, &reached) == 0;
    message = refusalOfReached(path, exists, reached);
    if (!message.empty()) {
        return nullptr;
    }
    bool descriptor = false;
    target = followLinks(path, descriptor);
    if (descriptor) {
        message = "cannot write " + quoted(path) +
                  ": it is the link of an open file descriptor, and a Record file is written whole and renamed "
                  "into place, which would replace whatever the descriptor was opened on; name the file itself";
        return nullptr;
    }
    if (target.empty()) {
        message = "cannot create " + quoted(path) + ": " + std::strerror(errno);
        return nullptr;
    }
    folder = target.substr(0, std::max<std::size_t>(target.rfind('/'), 1));
    // A link whose text names no file, as /proc's do for deleted files,
    // would be replaced by a new file of that text's name.
    struct stat named {};
    const bool namedExists = stat(target.c_str(), &named) == 0;
    if (exists != namedExists || (exists && (named.st_dev != reached.st_dev || named.st_ino != reached.st_ino))) {
        message = "cannot write " + quoted(path) + ": its link does not lead to a file by its name";
        return nullptr;
    }
    if (exists && !replaceAny) {
        const int fd = open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const bool other = fd >= 0 && holdsOtherThanARecordFile(fd);
        if (fd >= 0) {
            close(fd);
        }
        if (other) {
            message = "will not replace " + quoted(path) +
                      ", which is not a Record file (were INPUT and OUTPUT.rec swapped? --force replaces it)";
            return nullptr;
        }
    }
    std::FILE* file = createTemporary(exists ? &reached : nullptr);
    if (file == nullptr) {
        message = "cannot create a temporary file in " + quoted(folder) + " for " + quoted(path) +
                  " (the new file is written there, then renamed): " + std::strerror(errno);
    }
    return file;
}

bool commitOutput(std::FILE* file, const char* path, std::string& message) {
    const bool flushed = std::fflush(file) == 0;
    const int cause = errno;
    if (std::fclose(file) != 0 || !flushed) {
        message = "cannot write " + quoted(path) + ": " + std::strerror(flushed ? errno : cause);
        discardOutput(nullptr);
        return false;
    }
    const CommitResult result = commitSafeOutput(current, true);
    message = result == CommitResult::committed ? ""
              : result == CommitResult::folderNotFlushed
                  ? quoted(path) + " is written, but its folder " + quoted(folder) +
                        " could not be flushed to the disk, so a power cut could still lose it: " + std::strerror(errno)
                  : "cannot write " + quoted(path) + ": " + std::strerror(errno);
    disarmSafeOutputs();
    closeFolder();
    return result == CommitResult::committed;
}

void discardOutput(std::FILE* file) {
    if (file != nullptr) {
        std::fclose(file);
    }
    discardSafeOutput(current);
    disarmSafeOutputs();
    closeFolder();
}

}  // namespace recwav
