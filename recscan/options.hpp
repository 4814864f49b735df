// SPDX-License-Identifier: MIT
// recscan's command line: its options, their checks, and the help.
#pragma once

#include <string>
#include <vector>

#include "recscan/recscan.hpp"

namespace recwav::scan {

struct CommandLine {
    Settings settings;
    std::vector<std::string> sources;
    std::string output;
    bool help = false;
    bool version = false;
};

// Fills `line` from the argument vector; returns an empty string, or what was
// wrong, for a usage error.
std::string parseCommandLine(int argc, char* argv[], CommandLine& line);

void printHelp();

}  // namespace recwav::scan
