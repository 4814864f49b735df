// SPDX-License-Identifier: MIT
// What the programs ask of the file system besides the C library's files.
#pragma once

#include <cstdio>
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

}  // namespace recwav
