// SPDX-License-Identifier: MIT
// The recwav command, apart from its entry so that the tests can drive it.
#pragma once

namespace recwav {

// The whole command, from the argument vector to the exit status (0 or -1).
int runRecwav(int argc, char* argv[]);

}  // namespace recwav
