// SPDX-License-Identifier: MIT
// The writing side of the container, kept apart from the reader so that a
// program that only reads links none of it: ADPCM block headers and the bytes
// before the coded sound, as pure functions.
#include <algorithm>
#include <array>

#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

namespace recwav {

Status appendAdpcmBlockHeader(std::vector<std::uint8_t>& bytes, std::uint32_t samples) {
    if (appendCompactCount(bytes, samples) != Status::ok) {
        return Status::badSetting;
    }
    appendCompactCount(bytes, samples);
    bytes.insert(bytes.end(), 4, 0);
    return Status::ok;
}

std::array<std::uint8_t, recordPreambleSize> recordFilePreamble(std::uint32_t codec, std::uint32_t sampleCount,
                                                                std::uint32_t soundBytes,
                                                                const SoundHeaderFields& fields) {
    std::array<std::uint8_t, recordPreambleSize> bytes{};
    std::uint8_t* at = bytes.data();
    for (const std::uint32_t word : identificationWords) {
        storeLe32(at, word);
        at += 4;
    }
    storeLe32(at, recordTablePosition);

    // Two entries; the count byte's low bit, which readers ignore, is left clear.
    at = bytes.data() + recordTablePosition;
    *at++ = 2 << 1;
    storeLe32(at, soundDataUid);
    storeLe32(at + 4, recordSoundHeaderPosition);
    storeLe32(at + 8, identityUid);
    storeLe32(at + 12, recordIdentityPosition);

    std::copy(recordIdentityStream.begin(), recordIdentityStream.end(), bytes.begin() + recordIdentityPosition);

    // The byte at offset 11 stays zero: the notes know no use for it.
    at = bytes.data() + recordSoundHeaderPosition;
    storeLe32(at, sampleCount);
    storeLe32(at + 4, codec);
    storeLe16(at + 8, fields.repeats);
    at[10] = fields.volume;
    storeLe32(at + 12, fields.gap);
    storeLe32(at + 16, soundBytes);
    return bytes;
}

}  // namespace recwav
