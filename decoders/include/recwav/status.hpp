// SPDX-License-Identifier: MIT
// How the library's functions tell how they went: each that can fail returns
// a Status, or a count beside one, and says which values it may give; where a
// system call failed, errno says why. The reader alone keeps its -1, which its
// callers have always known.
#pragma once

#include <cstdint>

namespace recwav {

enum class Status : std::uint8_t {
    ok,
    paused,       // stopped where asked to; called again, it goes on
    readFailed,   // reading the input failed before its end (errno)
    writeFailed,  // writing the output failed (errno)
    tooLong,      // more samples or bytes than a Record file holds
    badSetting,   // a setting or a value outside its range
    notAccepted,  // the reader does not accept the file
    differs,      // the file does not hold what was meant
};

}  // namespace recwav
