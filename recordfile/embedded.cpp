// SPDX-License-Identifier: MIT
// The search for Record sounds by their structure: every position is tried,
// the cheapest test first, so that most bytes cost one load and a compare.
#include <recwav/embedded.hpp>

#include <algorithm>
#include <cstring>
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

// The smallest object: its offset word, a two-entry table, an identity
// word and a sound header.
constexpr std::size_t smallestObject = objectHeaderSize + smallestTable + 4 + soundHeaderSize;

// Words whose last three bytes are 00 00 10, as every UID here is: found
// with memchr, which passes over most bytes many at a time.
struct Anchors {
    std::vector<std::size_t> soundUids;
    std::vector<std::size_t> identityWords;
    std::vector<std::size_t> fileStarts;
};

Anchors findAnchors(const std::uint8_t* bytes, std::size_t size, std::size_t last, bool standalone) {
    Anchors anchors;
    const std::uint8_t* end = bytes + size;
    for (auto* at = static_cast<const std::uint8_t*>(std::memchr(bytes + 3, 0x10, size - 3)); at != nullptr;
         at = at + 1 < end ? static_cast<const std::uint8_t*>(std::memchr(at + 1, 0x10, end - at - 1)) : nullptr) {
        if (at[-1] != 0 || at[-2] != 0) {
            continue;
        }
        const auto start = static_cast<std::size_t>(at - 3 - bytes);
        const std::uint32_t word = loadLe32(at - 3);
        if (word == soundDataUid) {
            anchors.soundUids.push_back(start);
        } else if (word == identityStreamWord) {
            anchors.identityWords.push_back(start);
        } else if (standalone && word == identificationWords[0] && start < last) {
            anchors.fileStarts.push_back(start);
        }
    }
    return anchors;
}

// Where every object that could pass the check starts, sorted: its table
// holds a sound data entry (some UID found) and an identity entry whose
// position, counted from the start, is some identity word found; and its
// first word leads to that table. Nothing when the bytes hold so many UIDs
// that trying every position costs less.
std::optional<std::vector<std::size_t>> anchoredStarts(const std::uint8_t* bytes, std::size_t size, std::size_t last,
                                                       bool standalone) {
    const Anchors anchors = findAnchors(bytes, size, last, standalone);
    if (anchors.soundUids.size() * anchors.identityWords.size() > size / 64) {
        return std::nullopt;
    }
    std::vector<std::size_t> starts = anchors.fileStarts;
    for (const std::size_t uid : anchors.soundUids) {
        // The entry may be any of its table's first 127.
        for (std::size_t entry = 0; entry < 127 && 1 + tableEntrySize * entry <= uid; ++entry) {
            const std::size_t table = uid - 1 - tableEntrySize * entry;
            const std::size_t entries = bytes[table] >> 1;
            if (entries <= entry || table + 1 + entries * tableEntrySize > size) {
                continue;
            }
            for (std::size_t other = 0; other < entries; ++other) {
                const std::uint8_t* at = bytes + table + 1 + other * tableEntrySize;
                if (loadLe32(at) != identityUid) {
                    continue;
                }
                const std::uint32_t position = loadLe32(at + 4);
                for (const std::size_t word : anchors.identityWords) {
                    const std::size_t start = word - position;
                    if (word >= position && start < last && start + objectHeaderSize <= table &&
                        loadLe32(bytes + start) == table - start) {
                        starts.push_back(start);
                    }
                }
            }
        }
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    return starts;
}

}  // namespace

std::vector<FoundRecording> findRecordings(const std::uint8_t* bytes, std::size_t size, std::uint64_t base,
                                           const SearchOptions& options) {
    std::vector<FoundRecording> found;
    if (size < smallestObject) {
        return found;
    }
    const std::size_t last = std::min(size - smallestObject + 1, options.startsBefore);
    const auto check = [&](std::size_t start) {
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
    };
    const std::optional<std::vector<std::size_t>> starts = anchoredStarts(bytes, size, last, options.standalone);
    if (starts) {
        std::for_each(starts->begin(), starts->end(), check);
    } else {
        for (std::size_t start = 0; start < last; ++start) {
            check(start);
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
    // Sized once, then filled: the whole file in one allocation.
    std::vector<std::uint8_t> file(preamble.size() + soundBytes);
    std::copy(preamble.begin(), preamble.end(), file.begin());
    const std::uint8_t* sound = bytes + (found.sound - base);
    std::copy(sound, sound + soundBytes, file.begin() + static_cast<std::ptrdiff_t>(preamble.size()));
    return file;
}

}  // namespace recwav
