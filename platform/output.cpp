// SPDX-License-Identifier: MIT
// The one safe output of wavrec and recscan: a new file beside the name it is
// to have, named only once whole and on the disk, its folder flushed after;
// the clean-up on ending signals removes every temporary name still in use.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <random>

#include <recwav/platform.hpp>

namespace recwav {

namespace {

// Where the signal clean-up finds the temporary names in use, one slot each:
// a slot is claimed, filled, then armed, and only an armed one is removed.
struct Slot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 armed
    std::atomic<int> folder{-1};
    char name[NAME_MAX + 1] = {};
};
constexpr std::size_t slotCount = 256;  // far more than a run has workers
std::array<Slot, slotCount> slots;

extern "C" void removeTemporariesAndStop(int signal) {
    for (Slot& slot : slots) {
        if (slot.state.load() == 2) {
            unlinkat(slot.folder.load(), slot.name, 0);
        }
    }
    stopAsSignalled(signal);
}

std::mutex armedLock;
int armedCount = 0;

int claimSlot() {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        int free = 0;
        if (slots[i].state.compare_exchange_strong(free, 1)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void freeSlot(int slot) {
    if (slot >= 0) {
        slots[static_cast<std::size_t>(slot)].state = 0;
    }
}

// `name` with `tag` and six random characters, cut short so that the whole
// fits the longest name the folder takes.
std::string temporaryName(int folder, const std::string& name, std::string_view tag) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(1, '.');
    suffix.append(tag).push_back('-');
    for (int i = 0; i < 6; ++i) {
        suffix += letters[random() % (sizeof letters - 1)];
    }
    const long longest = fpathconf(folder, _PC_NAME_MAX);
    const std::size_t nameMax = longest > static_cast<long>(suffix.size()) && longest <= NAME_MAX
                                    ? static_cast<std::size_t>(longest)
                                    : NAME_MAX;
    return name.substr(0, nameMax - suffix.size()) + suffix;
}

// A new file under a temporary name the signal clean-up knows of from the
// moment it exists: no signal in this thread comes between the two.
int createNamed(SafeOutput& output, std::string_view tag, mode_t mode) {
    output.slot = claimSlot();
    if (output.slot < 0) {
        errno = EMFILE;
        return -1;
    }
    Slot& slot = slots[static_cast<std::size_t>(output.slot)];
    slot.folder = output.folder;
    for (int attempt = 0; attempt < 100; ++attempt) {
        output.temporary = temporaryName(output.folder, output.name, tag);
        std::memcpy(slot.name, output.temporary.c_str(), output.temporary.size() + 1);
        sigset_t all;
        sigset_t before;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before);
        const int fd = openat(output.folder, output.temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        const int cause = errno;
        if (fd >= 0) {
            slot.state = 2;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        errno = cause;
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool linkUnnamed(int fd, int folder, const char* name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0 ||
           (errno == ENOENT && linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0);
}

// Renames the temporary name to the final one; without `replace`, never over
// a file that appeared meanwhile.
bool renameInPlace(const SafeOutput& output, bool replace) {
    const char* from = output.temporary.c_str();
    const char* to = output.name.c_str();
    if (!replace) {
        if (renameat2(output.folder, from, output.folder, to, RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        struct stat existing {};
        if (fstatat(output.folder, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
            return false;
        }
    }
    return renameat(output.folder, from, output.folder, to) == 0;
}

// Names an unnamed file: at once where nothing has its name (a file that
// appeared meanwhile makes that fail with EEXIST); where one is replaced,
// through a temporary name, since a link cannot replace.
bool nameUnnamed(SafeOutput& output, bool replace, std::string_view tag) {
    if (!replace) {
        return linkUnnamed(output.fd, output.folder, output.name.c_str());
    }
    output.slot = claimSlot();
    if (output.slot < 0) {
        errno = EMFILE;
        return false;
    }
    Slot& slot = slots[static_cast<std::size_t>(output.slot)];
    slot.folder = output.folder;
    for (int attempt = 0; attempt < 100; ++attempt) {
        output.temporary = temporaryName(output.folder, output.name, tag);
        std::memcpy(slot.name, output.temporary.c_str(), output.temporary.size() + 1);
        slot.state = 2;
        if (linkUnnamed(output.fd, output.folder, output.temporary.c_str())) {
            return renameInPlace(output, true);
        }
        slot.state = 1;
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

void closeQuietly(int& fd) {
    if (fd >= 0) {
        const int cause = errno;
        close(fd);
        errno = cause;
        fd = -1;
    }
}

}  // namespace

void armSafeOutputs() {
    const std::lock_guard<std::mutex> hold(armedLock);
    if (armedCount++ == 0) {
        catchEndingSignals(removeTemporariesAndStop);
    }
}

void disarmSafeOutputs() {
    const std::lock_guard<std::mutex> hold(armedLock);
    if (armedCount > 0 && --armedCount == 0) {
        releaseEndingSignals();
    }
}

mode_t newFileMode() {
    // Read once: the umask can only be read by setting it, which other
    // threads must never see.
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return 0666 & ~mask;
    }();
    return mode;
}

void keepModeAndOwner(int fd, const struct stat& replaced) {
    // Changing the owner clears the set-user-ID and set-group-ID bits, so the
    // mode comes after it; where the owner cannot be kept (not root), neither
    // can those bits be, safely.
    mode_t mode = replaced.st_mode & 07777;
    if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    fchmod(fd, mode);
}

bool createSafeOutput(SafeOutput& output, int folder, const std::string& name, const SafeOutputStyle& style) {
    output = SafeOutput{};
    output.folder = folder;
    output.name = name;
    output.tag = style.tag;
    if (style.unnamed) {
        output.fd = openat(folder, ".", O_RDWR | O_TMPFILE | O_CLOEXEC, style.mode);
    }
    if (output.fd < 0) {
        output.fd = createNamed(output, style.tag, style.mode);
    }
    if (output.fd < 0) {
        const int cause = errno;
        discardSafeOutput(output);
        errno = cause;
        return false;
    }
    // The mode exactly as asked, whatever the umask.
    fchmod(output.fd, style.mode);
    return true;
}

CommitResult commitSafeOutput(SafeOutput& output, bool replace) {
    bool named = fsync(output.fd) == 0;
    if (named) {
        named = output.temporary.empty() ? nameUnnamed(output, replace, output.tag) : renameInPlace(output, replace);
    }
    if (!named) {
        const int cause = errno;
        discardSafeOutput(output);
        errno = cause;
        return cause == EEXIST ? CommitResult::exists : CommitResult::failed;
    }
    // It is the output now: nothing for the clean-up to remove.
    freeSlot(output.slot);
    output.slot = -1;
    output.temporary.clear();
    closeQuietly(output.fd);
    // Makes the new name itself last: what a folder holds is kept by the folder.
    const bool synced = fsync(output.folder) == 0 || errno == EINVAL;
    return synced ? CommitResult::committed : CommitResult::folderNotFlushed;
}

void discardSafeOutput(SafeOutput& output) {
    closeQuietly(output.fd);
    if (output.slot >= 0) {
        if (slots[static_cast<std::size_t>(output.slot)].state.load() == 2) {
            unlinkat(output.folder, output.temporary.c_str(), 0);
        }
        freeSlot(output.slot);
        output.slot = -1;
    }
    output.temporary.clear();
}

}  // namespace recwav
