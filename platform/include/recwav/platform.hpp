// SPDX-License-Identifier: MIT
// What the programs ask of the operating system besides the C library's
// files: file identity, the clean-up on ending signals and, on POSIX systems,
// the command lines' errors. Not installed, and not built for the page.
#pragma once

#include <cstdio>
#if !defined(_WIN32)
#include <getopt.h>

#include <string>
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
#endif

}  // namespace recwav
