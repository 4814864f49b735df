// SPDX-License-Identifier: MIT
#include "wavrec/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace recwav {

namespace {

// The temporary file beside the output, removed again if the run is stopped
// by a signal before it becomes the output.
char temporaryPath[4096];
std::string target;  // the file the output path names

extern "C" void removeTemporaryAndStop(int signal) {
    if (temporaryPath[0] != '\0') {
        unlink(temporaryPath);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void watchSignals(bool on) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(signal, on ? removeTemporaryAndStop : SIG_DFL);
    }
}

void removeTemporary() {
    if (temporaryPath[0] != '\0') {
        unlink(temporaryPath);
        temporaryPath[0] = '\0';
    }
    watchSignals(false);
}

// The file that `path` names once its symbolic links are followed, in a
// folder with none: the temporary file goes beside it and is renamed over it,
// so a link to the output stays a link. A path that names nothing yet names
// the new file, as does a link that points at nothing. Empty on failure, with
// errno set.
std::string followLinks(const char* path) {
    constexpr int maxLinks = 40;  // as the kernel allows, then ELOOP
    std::string current = path;
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
        if (links == maxLinks) {
            errno = ELOOP;
            return {};
        }
        std::string target(4096, '\0');
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) == target.size()) {
            errno = ENAMETOOLONG;
            return {};
        }
        target.resize(static_cast<std::size_t>(length));
        const std::size_t slash = current.rfind('/');
        if ((!target.empty() && target.front() == '/') || slash == std::string::npos) {
            current = target;
        } else {
            current.resize(slash + 1);  // a relative link is read from its own folder
            current += target;
        }
    }
    const std::size_t slash = current.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : current.substr(0, slash);
    const std::string name = slash == std::string::npos ? current : current.substr(slash + 1);
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(folder.c_str(), nullptr), &std::free);
    if (!real) {
        return {};
    }
    const std::string realFolder = real.get();
    return realFolder + (realFolder.back() == '/' ? "" : "/") + name;
}

// Creates the temporary file with the mode a new file would get.
std::FILE* createTemporary(const char* outputPath) {
    const std::string pattern = std::string(outputPath) + ".wavrec-XXXXXX";
    if (pattern.size() >= sizeof temporaryPath) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(temporaryPath, pattern.c_str(), pattern.size() + 1);
    watchSignals(true);
    const int fd = mkstemp(temporaryPath);
    if (fd < 0) {
        const int cause = errno;
        temporaryPath[0] = '\0';
        watchSignals(false);
        errno = cause;
        return nullptr;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) {
        const int cause = errno;
        close(fd);
        removeTemporary();
        errno = cause;
    }
    return file;
}

std::string quoted(const char* path) {
    return std::string("'") + path + "'";
}

}  // namespace

std::FILE* openOutput(const char* path, std::string& message) {
    // A Record file is written whole and its counts set at the end, so it
    // cannot stream to a device or a pipe; and renaming over one would put a
    // plain file in its place.
    target = followLinks(path);
    if (target.empty()) {
        message = "cannot create " + quoted(path) + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat existing {};
    if (stat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        message = "cannot write " + quoted(path) + ": " +
                  (S_ISDIR(existing.st_mode) ? std::strerror(EISDIR) : "not a regular file");
        return nullptr;
    }
    std::FILE* file = createTemporary(target.c_str());
    if (file == nullptr) {
        message = "cannot create " + quoted(path) + ": " + std::strerror(errno);
    }
    return file;
}

bool commitOutput(std::FILE* file, std::string& cause) {
    bool written = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    written = std::fclose(file) == 0 && written;
    written = written && std::rename(temporaryPath, target.c_str()) == 0;
    if (!written) {
        cause = std::strerror(errno);
    } else {
        temporaryPath[0] = '\0';  // it is the output now
    }
    removeTemporary();
    return written;
}

void discardOutput(std::FILE* file) {
    std::fclose(file);
    removeTemporary();
}

}  // namespace recwav
