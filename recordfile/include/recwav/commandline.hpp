// SPDX-License-Identifier: MIT
// What wavrec and recscan share of reading their command lines with
// getopt_long (POSIX systems only).
#pragma once

#include <getopt.h>

#include <string>

namespace recwav {

// The usage error that getopt_long has just reported ('?' or ':'), in the
// programs' own words: an unknown option, a value missing, or a value given
// to an option that takes none, a long option named in full however
// abbreviated. `word` is the argument getopt_long was reading, and
// `shortWithValues` the short options that take a value.
std::string optionError(const char* word, const option* longOptions, const char* shortWithValues);

}  // namespace recwav
