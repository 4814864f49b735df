// SPDX-License-Identifier: MIT
// wavrec's command line: its options, their checks, and the help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <recwav/encoders.hpp>
#include <recwav/recordfile.hpp>

namespace recwav {

// The largest --max-block: a block's count then keeps to two bytes.
inline constexpr std::uint32_t maxAdpcmBlock = maxCompactCount2;

// The most threads --jobs gives the coding: past the cores there are, more
// only cost memory.
inline constexpr std::uint32_t maxJobs = 64;

struct CommandLine {
    RecordSettings settings;  // the coding and its blocks; the header fields are settled later
    std::optional<std::uint16_t> repeats;
    std::optional<std::uint8_t> volume;
    std::optional<std::uint32_t> gap;
    const char* headerFrom = nullptr;
    // One or more inputs; the output is a Record file, or a folder that takes
    // each input as NAME.rec (the only form for several inputs).
    std::vector<const char*> inputs;
    const char* output = nullptr;
    std::uint32_t jobs = 0;  // threads that code ADPCM; 0: one a core it may run on
    bool force = false;      // replace an existing OUTPUT.rec whatever it holds
    bool help = false;
    bool version = false;
};

// Fills `line` from the argument vector; returns an empty string, or what was
// wrong, for a usage error.
std::string parseCommandLine(int argc, char* argv[], CommandLine& line);

void printHelp();

}  // namespace recwav
