// SPDX-License-Identifier: MIT
#include <recwav/recordfile.hpp>

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>

#if !defined(_WIN32)
#include <sys/types.h>
static_assert(sizeof(off_t) >= 8, "positions up to 4 GiB need 64-bit file offsets");
#endif

namespace recwav {

namespace {

constexpr std::int32_t refused = -1;

// A short read means a truncated file, which is refused like any other bad one.
template <std::size_t N>
bool readExactly(std::FILE* input, std::array<std::uint8_t, N>& bytes) {
    return std::fread(bytes.data(), 1, N, input) == N;
}

bool identityStreamIsValid(std::FILE* input, std::uint32_t position) {
    std::array<std::uint8_t, 4> word{};
    return seekTo(input, position) && readExactly(input, word) && loadLe32(word.data()) == identityStreamWord;
}

// Walks the stream table at the input's current position and returns where
// the sound header starts, or nothing when the table is unusable.
std::optional<std::uint32_t> findSoundHeader(std::FILE* input, std::uint32_t tablePosition) {
    const int countByte = std::fgetc(input);
    if (countByte == EOF) {
        return std::nullopt;
    }
    const unsigned entryCount = static_cast<unsigned>(countByte) >> 1;
    std::optional<std::uint32_t> soundHeaderPosition;
    std::uint64_t nextEntry = std::uint64_t{tablePosition} + 1;
    for (unsigned entry = 0; entry < entryCount; ++entry) {
        std::array<std::uint8_t, tableEntrySize> bytes{};
        if (!readExactly(input, bytes)) {
            return std::nullopt;
        }
        nextEntry += tableEntrySize;
        const std::uint32_t uid = loadLe32(bytes.data());
        const std::uint32_t position = loadLe32(bytes.data() + 4);
        if (uid == soundDataUid) {
            soundHeaderPosition = position;  // a later entry replaces an earlier one
        } else if (uid == identityUid) {
            if (!identityStreamIsValid(input, position) || !seekTo(input, nextEntry)) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    return soundHeaderPosition;
}

}  // namespace

bool seekTo(std::FILE* input, std::uint64_t position) {
#if defined(_WIN32)
    return _fseeki64(input, static_cast<__int64>(position), SEEK_SET) == 0;
#else
    return fseeko(input, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

std::int32_t parseRecordFile(std::FILE* input, SoundStream& stream) {
    std::array<std::uint8_t, identificationHeaderSize> identification{};
    if (!readExactly(input, identification)) {
        return refused;
    }
    for (std::size_t i = 0; i < identificationWords.size(); ++i) {
        if (loadLe32(identification.data() + 4 * i) != identificationWords[i]) {
            return refused;
        }
    }

    const std::uint32_t tablePosition = loadLe32(identification.data() + 16);
    if (!seekTo(input, tablePosition)) {
        return refused;
    }
    const std::optional<std::uint32_t> soundHeaderPosition = findSoundHeader(input, tablePosition);
    if (!soundHeaderPosition || !seekTo(input, *soundHeaderPosition)) {
        return refused;
    }

    // Read whole, skipped bytes included, so that a file ending inside the
    // sound header is refused rather than decoded from past its end.
    std::array<std::uint8_t, soundHeaderSize> header{};
    if (!readExactly(input, header)) {
        return refused;
    }
    stream.sampleCount = loadLe32(header.data());
    const std::uint32_t codec = loadLe32(header.data() + 4);
    if (codec == codecALaw) {
        stream.decode = decodeALaw;
    } else if (codec == codecAdpcm) {
        stream.decode = decodeAdpcm;
        // The first call starts by reading a block header.
        stream.blockSamples = 0;
        stream.blockPos = 0;
        stream.lowNibbleNext = false;
    } else {
        return refused;
    }
    stream.hdrShort = loadLe16(header.data() + 8);
    stream.hdrByte = header[10];
    stream.hdrLong = loadLe32(header.data() + 12);
    stream.file = input;
    return static_cast<std::int32_t>(stream.sampleCount);
}

}  // namespace recwav
