// SPDX-License-Identifier: MIT
#include <recwav/endian.hpp>
#include <recwav/wav.hpp>

namespace recwav {

Status convertSound(SoundStream& stream, std::int16_t* buffer, std::FILE* output, std::uint32_t maxBatches) {
    std::uint32_t produced = 0;
    std::uint32_t batches = 0;
    do {
        if (maxBatches != allBatches && batches++ == maxBatches) {
            return Status::paused;
        }
        produced = stream.decode(samplesPerCall, buffer, stream);
        // In place, so that one buffer serves the whole run.
        samplesToLe16(buffer, produced);
        if (std::fwrite(buffer, sizeof *buffer, produced, output) != produced) {
            return Status::writeFailed;  // no point decoding further into a failing output
        }
    } while (produced == samplesPerCall);
    // A decoder stops at any failed read; only the file tells an error from the end.
    return std::ferror(stream.file) != 0 ? Status::readFailed : Status::ok;
}

}  // namespace recwav
