// SPDX-License-Identifier: MIT
// wavrec's output: written under a temporary name beside the file that the
// output path names (its links followed) and renamed over it only once whole,
// so that an existing output stays as it was until then, and no temporary
// file outlives a failure or a signal. One output at a time in a process.
#pragma once

#include <cstdio>
#include <string>

namespace recwav {

// Opens the temporary file for `path`, for writing and for reading back.
// Null, with the message in `message`, when the output cannot be written
// there or is not a regular file, or (unless `replaceAny`) is a file that
// holds something other than a Record file.
std::FILE* openOutput(const char* path, bool replaceAny, std::string& message);

// Flushes the temporary file to the disk, closes it, renames it over the
// output and flushes the folder. False, with the message for `path`, when any
// of that fails; the temporary file is then removed (a failure to flush the
// folder comes after the rename, and the message says so).
bool commitOutput(std::FILE* file, const char* path, std::string& message);

// Closes and removes the temporary file.
void discardOutput(std::FILE* file);

}  // namespace recwav
