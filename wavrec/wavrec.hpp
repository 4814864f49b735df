// SPDX-License-Identifier: MIT
// The wavrec command: any sound in, a Record file out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <recwav/encoders.hpp>
#include <recwav/recordfile.hpp>

#include "wavrec/audioinput.hpp"

namespace recwav {

// The largest --max-block: a block's count then keeps to two bytes.
inline constexpr std::uint32_t maxAdpcmBlock = maxCompactCount2;

struct WavrecSettings {
    std::uint32_t codec = codecALaw;
    AdpcmSettings adpcm;
    SoundHeaderFields fields = defaultSoundHeaderFields;
};

struct RecordingResult {
    enum class Failure { none, reading, writing };
    Failure failure = Failure::none;
    std::string cause;
    std::uint64_t samples = 0;  // written
};

// Codes all that `input` gives into `output`, a new file: the preamble, the
// codes, then the declared count set to the samples written. Appends to
// `decoded`, when given, the samples a decoder will make of the file.
RecordingResult writeRecording(AudioInput& input, const WavrecSettings& settings, std::FILE* output,
                               std::vector<std::int16_t>* decoded = nullptr);

// The whole command, from the argument vector to the exit status: 0 on
// success, 1 on failure, 2 on a usage error.
int runWavrec(int argc, char* argv[]);

}  // namespace recwav
