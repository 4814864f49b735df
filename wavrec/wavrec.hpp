// SPDX-License-Identifier: MIT
// The wavrec command: any sound in, a Record file out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <recwav/encoders.hpp>

#include "wavrec/audioinput.hpp"

namespace recwav {

struct RecordingResult {
    enum class Failure { none, reading, writing, tooLong };
    Failure failure = Failure::none;
    std::string cause;
    RecordSummary summary;  // what the file must decode to
};

// Codes all that `input` gives into `output`, a new file open for writing:
// the whole Record file, its counts settled at the end. Appends to `decoded`,
// when given, the samples a decoder will make of the file. ADPCM is coded on
// `jobs` threads, with the same bytes for any number. Tells `coded`, when
// given, how many samples are coded so far, as it goes.
RecordingResult writeRecording(AudioInput& input, const RecordSettings& settings, std::FILE* output,
                               std::vector<std::int16_t>* decoded = nullptr, unsigned jobs = 1,
                               const std::function<void(std::uint64_t)>& coded = {});

// The cores this process may run on, at most maxJobs.
unsigned defaultJobs();

// The progress line's text while the `index`th of `count` inputs is coded:
// "wavrec: 'a.wav' 1:21 of 3:00 (45%)", "2 of 5, " before the name for
// several inputs, and no "of" where the input's length is not known (or
// was less than it gave).
std::string codingProgressText(std::size_t index, std::size_t count, const std::string& name, std::uint64_t done,
                               std::optional<std::uint64_t> length);

// The whole command, from the argument vector to the exit status: 0 on
// success, 1 on failure, 2 on a usage error.
int runWavrec(int argc, char* argv[]);

}  // namespace recwav
