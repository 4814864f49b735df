// SPDX-License-Identifier: MIT
// What the programs ask of the file system besides the C library's files.
#pragma once

namespace recwav {

// True when `path` names a directory.
bool isDirectory(const char* path);

// True when both paths reach one file, whatever links lie between: the same
// device and inode, or on Windows the same volume serial number and file index.
bool sameFile(const char* first, const char* second);

}  // namespace recwav
