// SPDX-License-Identifier: MIT
// The search for Record sounds by their structure: every position is tried,
// the cheapest test first, so that most bytes cost one load and a compare.
#include <recwav/embedded.hpp>

#include <optional>

#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

namespace recwav {

namespace {

constexpr std::uint32_t maxSoundBytes = 0xFFFFFFFF;
constexpr std::size_t smallestTable = 1 + 2 * tableEntrySize;

// The sound header named by the stream table at `table`, whose positions
// count from `start`; nothing unless the table passes the whole check.
std::optional<std::uint64_t> checkTable(const std::uint8_t* bytes, std::size_t size, std::uint64_t start,
                                        std::uint64_t table) {
    const unsigned entries = bytes[table] >> 1;
    if (entries < 2 || table + 1 + std::uint64_t{entries} * tableEntrySize > size) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> soundHeader;
    bool identity = false;
    for (unsigned entry = 0; entry < entries; ++entry) {
        const std::uint8_t* at = bytes + table + 1 + std::size_t{entry} * tableEntrySize;
        const std::uint32_t uid = loadLe32(at);
        const std::uint64_t position = start + loadLe32(at + 4);
        if (uid == soundDataUid) {
            soundHeader = position;  // a later entry replaces an earlier one, as the reader has it
        } else if (uid == identityUid && position + 4 <= size && loadLe32(bytes + position) == identityStreamWord) {
            identity = true;
        } else {
            return std::nullopt;
        }
    }
    if (!soundHeader || !identity || *soundHeader + soundHeaderSize > size) {
        return std::nullopt;
    }
    return soundHeader;
}

// A compact count read from memory, as readCompactCount reads one from a file;
// its length in bytes, 0 when `size` ends first.
std::size_t compactCountAt(const std::uint8_t* at, std::size_t size, std::uint32_t& value) {
    if (size < 1) {
        return 0;
    }
    if ((at[0] & 0x01U) == 0) {
        value = at[0] >> 1U;
        return 1;
    }
    if (size < 2) {
        return 0;
    }
    if ((at[0] & 0x02U) == 0 || (at[0] & 0x04U) != 0) {
        value = (at[0] & 0x02U) == 0 ? std::uint32_t{loadLe16(at)} >> 2U : loadLe16(at);
        return 2;
    }
    if (size < 4) {
        return 0;
    }
    value = loadLe32(at) >> 3U;
    return 4;
}

// Where `declared` samples of ADPCM blocks starting at `sound` end, or `size`.
std::uint64_t adpcmEnd(const std::uint8_t* bytes, std::size_t size, std::uint64_t sound, std::uint32_t declared) {
    std::uint64_t at = sound;
    for (std::uint64_t samples = 0; samples < declared && at < size;) {
        std::uint32_t count = 0;
        std::uint32_t second = 0;
        const std::size_t first = compactCountAt(bytes + at, size - at, count);
        const std::size_t next = first == 0 ? 0 : compactCountAt(bytes + at + first, size - at - first, second);
        if (next == 0) {
            return size;
        }
        at += first + next + 4 + (std::uint64_t{count} + 1) / 2;
        samples += count;
    }
    return std::min<std::uint64_t>(at, size);
}

// The sound header's part of the check, and where the coded sound ends.
std::optional<FoundRecording> checkSound(const std::uint8_t* bytes, std::size_t size, std::uint64_t soundHeader,
                                         bool standalone) {
    FoundRecording found;
    found.declared = loadLe32(bytes + soundHeader);
    found.codec = loadLe32(bytes + soundHeader + 4);
    found.soundBytes = loadLe32(bytes + soundHeader + 16);
    // The reader refuses a declared count of 0xFFFFFFFF.
    if ((found.codec != codecALaw && found.codec != codecAdpcm) || found.declared == maxDeclaredCount + 1) {
        return std::nullopt;
    }
    found.soundHeader = soundHeader;
    found.sound = soundHeader + soundHeaderSize;
    found.standalone = standalone;
    if (found.soundBytes != 0 || !standalone) {
        found.end = found.sound + found.soundBytes;
        if (found.end > size) {
            return std::nullopt;
        }
    } else if (found.codec == codecALaw) {
        found.end = std::min<std::uint64_t>(found.sound + found.declared, size);
    } else {
        found.end = adpcmEnd(bytes, size, found.sound, found.declared);
    }
    return found;
}

std::optional<FoundRecording> objectAt(const std::uint8_t* bytes, std::size_t size, std::size_t start) {
    // Most positions end here: a table offset that leaves no room for a table.
    const std::uint32_t tableOffset = loadLe32(bytes + start);
    if (tableOffset - objectHeaderSize > size - start - smallestTable - objectHeaderSize) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> soundHeader = checkTable(bytes, size, start, start + tableOffset);
    return soundHeader ? checkSound(bytes, size, *soundHeader, false) : std::nullopt;
}

std::optional<FoundRecording> fileAt(const std::uint8_t* bytes, std::size_t size, std::size_t start) {
    if (size - start < identificationHeaderSize) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < identificationWords.size(); ++i) {
        if (loadLe32(bytes + start + 4 * i) != identificationWords[i]) {
            return std::nullopt;
        }
    }
    const std::uint64_t table = start + std::uint64_t{loadLe32(bytes + start + 16)};
    if (table + smallestTable > size) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> soundHeader = checkTable(bytes, size, start, table);
    return soundHeader ? checkSound(bytes, size, *soundHeader, true) : std::nullopt;
}

}  // namespace

std::vector<FoundRecording> findRecordings(const std::uint8_t* bytes, std::size_t size, std::uint64_t base,
                                           const SearchOptions& options) {
    std::vector<FoundRecording> found;
    // The smallest object: its offset word, a two-entry table, an identity
    // word and a sound header.
    constexpr std::size_t smallest = objectHeaderSize + smallestTable + 4 + soundHeaderSize;
    if (size < smallest) {
        return found;
    }
    const std::size_t last = std::min(size - smallest + 1, options.startsBefore);
    for (std::size_t start = 0; start < last; ++start) {
        std::optional<FoundRecording> one = objectAt(bytes, size, start);
        if (!one && options.standalone && bytes[start] == 0x37) {
            one = fileAt(bytes, size, start);
        }
        if (one) {
            one->offset = start;
            for (std::uint64_t* position : {&one->offset, &one->soundHeader, &one->sound, &one->end}) {
                *position += base;
            }
            found.push_back(*one);
        }
    }
    return found;
}

bool looksLikeEpocDocument(const std::uint8_t* head, std::size_t size) {
    return size >= 4 && loadLe32(head) == identificationWords[0] && !looksLikeRecordFile(head, size);
}

std::vector<std::uint8_t> recordFileOf(const std::uint8_t* bytes, std::uint64_t base, const FoundRecording& found) {
    const std::uint8_t* header = bytes + (found.soundHeader - base);
    SoundHeaderFields fields;
    fields.repeats = loadLe16(header + 8);
    fields.volume = header[10];
    fields.gap = loadLe32(header + 12);
    const auto soundBytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(found.end - found.sound, maxSoundBytes));
    const auto preamble = recordFilePreamble(found.codec, found.declared, soundBytes, fields);
    std::vector<std::uint8_t> file(preamble.begin(), preamble.end());
    const std::uint8_t* sound = bytes + (found.sound - base);
    file.insert(file.end(), sound, sound + soundBytes);
    return file;
}

}  // namespace recwav
