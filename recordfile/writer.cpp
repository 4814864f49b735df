// SPDX-License-Identifier: MIT
// The writing side of the container, kept apart from the reader so that a
// program that only reads links none of it: compact counts and ADPCM block
// headers, the bytes before the coded sound as a pure function, and the one
// step that needs the file, setting the declared count once the sound is written.
#include <array>
#include <cstdio>
#include <stdexcept>

#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

namespace recwav {

void appendCompactCount(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    if (value <= maxCompactCount1) {
        bytes.push_back(static_cast<std::uint8_t>(value << 1));
    } else if (value <= maxCompactCount2) {
        appendLe16(bytes, static_cast<std::uint16_t>(value << 2 | 0x1U));
    } else if (value <= maxCompactCount) {
        appendLe32(bytes, value << 3 | 0x3U);
    } else {
        throw std::invalid_argument("a compact count holds at most 29 bits");
    }
}

void appendAdpcmBlockHeader(std::vector<std::uint8_t>& bytes, std::uint32_t samples) {
    appendCompactCount(bytes, samples);
    appendCompactCount(bytes, samples);
    bytes.insert(bytes.end(), 4, 0);
}

std::array<std::uint8_t, recordPreambleSize> recordFilePreamble(std::uint32_t codec, std::uint32_t sampleCount,
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

    // The identity stream names the Record application by its UID; we write
    // nothing after it.
    storeLe32(bytes.data() + recordIdentityPosition, identityStreamWord);

    // The skipped byte at offset 11 and the four at offset 16 stay zero.
    at = bytes.data() + recordSoundHeaderPosition;
    storeLe32(at, sampleCount);
    storeLe32(at + 4, codec);
    storeLe16(at + 8, fields.repeats);
    at[10] = fields.volume;
    storeLe32(at + 12, fields.gap);
    return bytes;
}

bool patchDeclaredCount(std::FILE* output, std::uint32_t sampleCount) {
    std::array<std::uint8_t, 4> count{};
    storeLe32(count.data(), sampleCount);
    return std::fseek(output, recordDeclaredCountPosition, SEEK_SET) == 0 &&
           std::fwrite(count.data(), 1, count.size(), output) == count.size() && std::fseek(output, 0, SEEK_END) == 0;
}

}  // namespace recwav
