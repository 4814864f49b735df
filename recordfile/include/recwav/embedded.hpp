// SPDX-License-Identifier: MIT
// Record sounds found by their own structure inside other bytes: voice notes
// embedded in EPOC documents (Word, Sheet, Agenda...), and whole Record files
// that no directory names any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace recwav {

// An embedded object is laid out like a Record file without its first 16
// bytes: at its start the 32-bit offset of its stream table, and every
// position inside it relative to that start.
inline constexpr std::size_t objectHeaderSize = 4;

// Where a sound was found; positions are the searched bytes' own, `base` added.
struct FoundRecording {
    std::uint64_t offset = 0;  // its start: the table's offset word, or the identification header
    bool standalone = false;   // a whole Record file, not an object inside a document
    std::uint32_t codec = 0;
    std::uint32_t declared = 0;     // samples the sound header declares
    std::uint32_t soundBytes = 0;   // bytes of coded sound, as the sound header counts them
    std::uint64_t soundHeader = 0;  // where its sound header starts
    std::uint64_t sound = 0;        // its first byte of coded sound
    std::uint64_t end = 0;          // one past its last byte of coded sound

    friend bool operator==(const FoundRecording&, const FoundRecording&) = default;
};

struct SearchOptions {
    bool standalone = false;  // whole Record files too, not only embedded objects
    // Only those starting before this many bytes: a caller searching a long
    // input in overlapping windows takes each find once.
    std::size_t startsBefore = SIZE_MAX;
};

// Every Record sound in `bytes` (`size` of them, lying at `base` in their
// file) that passes the whole check: its stream table inside the bytes,
// naming only the sound data and identity entries and both of them, each
// identity stream's first word, the codec word, and all of its coded sound
// inside the bytes. A standalone file whose byte count is 0 ends where its
// declared count of samples does. In order of their starts.
std::vector<FoundRecording> findRecordings(const std::uint8_t* bytes, std::size_t size, std::uint64_t base = 0,
                                           const SearchOptions& options = {});

// A document: an EPOC file whose first word is the Record file's first one,
// and which is not itself a Record file.
bool looksLikeEpocDocument(const std::uint8_t* head, std::size_t size);

// A Record file of the found sound alone, as wavrec lays one out, with its
// sound header's fields and exactly its coded sound: recwav converts it to
// the sound's WAV. `bytes` are those searched (the find's positions less `base`).
std::vector<std::uint8_t> recordFileOf(const std::uint8_t* bytes, std::uint64_t base, const FoundRecording& found);

}  // namespace recwav
