// SPDX-License-Identifier: MIT
// What the programs ask of the operating system besides the C library's
// files: file identity, the clean-up on ending signals and, on POSIX systems,
// the command lines' errors. Not installed, and not built for the page.
#pragma once

#include <cstdio>
#if !defined(_WIN32)
#include <getopt.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#endif
#if defined(_WIN32)
#include <string>
#endif

namespace recwav {

// std::fopen for a path in UTF-8. On Windows the path is widened and opened
// with _wfopen, so that names outside the system's code page open too.
std::FILE* openFile(const char* path, const char* mode);

#if defined(_WIN32)
// A UTF-16 argument as UTF-8, for the converter; an unpaired surrogate, which
// no UTF-8 name can carry, becomes U+FFFD and so names no existing file.
std::string utf8FromWide(const wchar_t* wide);
#endif

// True when `path` names a directory.
bool isDirectory(const char* path);

// True when both paths reach one file, whatever links lie between: the same
// device and inode, or on Windows the same volume serial number and file index.
bool sameFile(const char* first, const char* second);

#if !defined(_WIN32)
// Has `handler` called on every signal whose default action ends the
// process, but those the process was started ignoring (as under nohup),
// which stay ignored; and ignores SIGXFSZ, so that a write past the size
// limit fails with EFBIG, to be reported like any failed write, rather than
// end the process. The handler removes what must not outlive the run, then
// calls stopAsSignalled.
void catchEndingSignals(void (*handler)(int));

// Puts back what catchEndingSignals found.
void releaseEndingSignals();

// From a handler: ends the process as `signal` would have.
void stopAsSignalled(int signal);

// The usage error that getopt_long has just reported ('?' or ':'), in the
// programs' own words: an unknown option, a value missing, or a value given
// to an option that takes none, a long option named in full however
// abbreviated. `word` is the argument getopt_long was reading, and
// `shortWithValues` the short options that take a value.
std::string optionError(const char* word, const option* longOptions, const char* shortWithValues);

// ---- The one safe output ----
//
// A new file is written beside the name it is to have and takes that name
// only once whole and flushed to the disk; then its folder is flushed. A file
// of that name stays as it was until then, and neither a failure nor a signal
// leaves a partial file under it. Where the file system makes unnamed files
// (O_TMPFILE) and the style allows, the new file has no name at all until
// then; otherwise a temporary one, which the clean-up on ending signals
// removes. Any number at once, from any thread.
struct SafeOutputStyle {
    std::string_view tag;  // in temporary names: NAME.TAG-XXXXXX
    mode_t mode = 0644;    // the new file's permission bits, exactly
    bool unnamed = false;  // unnamed where the file system can
};

struct SafeOutput {
    int fd = -1;            // the new file, open for reading and writing
    int folder = -1;        // borrowed: the folder it goes in
    std::string name;       // its name there once committed
    std::string temporary;  // its name meanwhile; empty while it has none
    std::string_view tag;
    int slot = -1;  // where the signal clean-up finds `temporary`
};

// While armed (as often as disarmed, from any thread), every signal whose
// default ends the process removes the temporary files first.
void armSafeOutputs();
void disarmSafeOutputs();

// The permission bits a new file gets by default: 0666 less the umask.
mode_t newFileMode();

// Gives `fd` the mode, owner and group of `replaced`, as far as the process
// may: the set-user-ID and set-group-ID bits only with the owner.
void keepModeAndOwner(int fd, const struct stat& replaced);

// Creates the new file for `name` in `folder`. False, with errno set, when it
// cannot be made.
bool createSafeOutput(SafeOutput& output, int folder, const std::string& name, const SafeOutputStyle& style);

enum class CommitResult : std::uint8_t {
    committed,         // named, and the folder flushed
    folderNotFlushed,  // named, but the folder could not be flushed (errno)
    exists,            // without `replace`, a file of that name appeared meanwhile
    failed,            // not named (errno); the new file is gone
};

// Flushes the new file to the disk, gives it its name (over a file of that
// name only with `replace`), closes it and flushes the folder. On `exists` and
// `failed` the new file is removed.
CommitResult commitSafeOutput(SafeOutput& output, bool replace);

// Closes and removes the new file.
void discardSafeOutput(SafeOutput& output);
#endif

}  // namespace recwav
