// SPDX-License-Identifier: MIT
// Psion 5 Record files, the format alone: their layout, the reader that
// accepts one and fills a SoundStream for its decoder, the writer of the bytes
// before the coded sound, and telling Record files and Series 3 sounds apart
// from other files by their first bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <recwav/decoders.hpp>

namespace recwav {

// The file's layout: a 20-byte identification header whose last word is the
// stream table's position; the table (a count byte, then UID and position
// pairs); the streams it points at; a 20-byte sound header, then the codes.
inline constexpr std::array<std::uint32_t, 4> identificationWords = {0x10000037, 0x1000006D, 0x1000007E, 0x5508ACCF};
inline constexpr std::uint32_t soundDataUid = 0x10000052;
inline constexpr std::uint32_t identityUid = 0x10000089;
inline constexpr std::uint32_t identityStreamWord = 0x1000007E;  // first word of the identity stream
inline constexpr std::uint32_t codecALaw = 0;
inline constexpr std::uint32_t codecAdpcm = 0x100001A1;

// Every Record file's sound: mono, 8000 samples per second.
inline constexpr std::uint32_t recordSampleRate = 8000;

inline constexpr std::size_t identificationHeaderSize = 20;
inline constexpr std::size_t tableEntrySize = 8;
inline constexpr std::size_t soundHeaderSize = 20;

// Seeks `input` to an absolute `position`: positions are unsigned 32-bit, so
// the offset type must be wider than `long` where that is 32 bits.
bool seekTo(std::FILE* input, std::uint64_t position);

// Accepts `input` as a Record file this program understands, or refuses it.
// On acceptance fills `stream`, leaves `input` at the first byte of coded sound
// and returns the declared sample count as a signed value; returns -1 on
// refusal (so a declared count of 0xFFFFFFFF is a refusal too).
std::int32_t parseRecordFile(std::FILE* input, SoundStream& stream);

// ---- Telling files apart by their first bytes ----

// Backups mix Record files with everything else, mostly without extensions.
// A file whose first three identification words are a Record document's is
// one, and a refusal of it is news; anything else is simply another file.
inline constexpr std::size_t recordSignatureSize = 12;
bool looksLikeRecordFile(const std::uint8_t* head, std::size_t size);

// A Series 3 sound file (WVE): a 32-byte header that starts with this text,
// then A-law codes.
inline constexpr std::size_t series3SoundHeaderSize = 32;
// In its header, big-endian (as libsndfile writes and reads them, the
// format's other readers too): the sample count (32-bit), the trailing
// silence in 1/32 s and the number of plays (16-bit each, 0 and 1 both
// meaning once).
inline constexpr std::size_t series3CountOffset = 18;
inline constexpr std::size_t series3SilenceOffset = 22;
inline constexpr std::size_t series3PlaysOffset = 24;
inline constexpr std::array<char, 15> series3SoundMagic = {'A', 'L', 'a', 'w', 'S', 'o', 'u', 'n',
                                                           'd', 'F', 'i', 'l', 'e', '*', '*'};
bool looksLikeSeries3Sound(const std::uint8_t* head, std::size_t size);

// ---- Writing ----
//
// What the writers put in the fields the reader does not look at follows the
// public notes on the device's file formats wherever they speak; where they
// do not, the choice is ours and says so.

// The sound header's three fields that the conversion does not interpret. As
// the notes describe them: how often the device plays the sound, its playback
// volume, and the pause between repeats.
struct SoundHeaderFields {
    std::uint16_t repeats = 0;  // hdrShort: plays of the sound, minus one
    std::uint8_t volume = 3;    // hdrByte: 1 (lowest) to 5 (loudest)
    std::uint32_t gap = 0;      // hdrLong, in microseconds
};

inline constexpr std::uint8_t minVolume = 1;
inline constexpr std::uint8_t maxVolume = 5;

// What the writers put there when nothing else is asked for: played once, at
// the middle volume, no pause.
inline constexpr SoundHeaderFields defaultSoundHeaderFields = {0, 3, 0};

// The identity stream: the Record application's UID, then its name as the
// notes' String, one length byte (4 x length + 2 for names of up to 63
// characters) and the characters.
inline constexpr std::array<std::uint8_t, 15> recordIdentityStream = {0x7E, 0x00, 0x00, 0x10, 4 * 10 + 2, 'R', 'E', 'C',
                                                                      'O',  'R',  'D',  '.',  'A',        'P', 'P'};

// Everything a written Record file holds before its coded sound, in this
// order, with the stream table first so that the decoders, which read to the
// end of the file, meet nothing but codes behind the sound header:
//   identification header (20 bytes), table at offset 20
//   stream table: count byte 0x04 (two entries), the sound data entry, then the
//     identity entry (17 bytes)
//   identity stream (15 bytes)
//   sound header (20 bytes): declared count, codec word, repeats (16-bit),
//     volume (8-bit), one zero byte, gap (32-bit), and the number of bytes of
//     coded sound that follow it (32-bit: the notes give the sound as a
//     length-prefixed list of bytes)
inline constexpr std::size_t recordTablePosition = identificationHeaderSize;
inline constexpr std::size_t recordIdentityPosition = recordTablePosition + 1 + 2 * tableEntrySize;
inline constexpr std::size_t recordSoundHeaderPosition = recordIdentityPosition + recordIdentityStream.size();
inline constexpr std::size_t recordPreambleSize = recordSoundHeaderPosition + soundHeaderSize;

// The largest count a sound header can declare: the reader takes 0xFFFFFFFF
// for a refusal.
inline constexpr std::uint32_t maxDeclaredCount = 0xFFFFFFFE;

// The bytes before the coded sound of a Record file of `codec` (codecALaw or
// codecAdpcm) declaring `sampleCount` samples in `soundBytes` bytes of codes
// (ADPCM block headers included).
std::array<std::uint8_t, recordPreambleSize> recordFilePreamble(std::uint32_t codec, std::uint32_t sampleCount,
                                                                std::uint32_t soundBytes,
                                                                const SoundHeaderFields& fields);

// Appends the header of an ADPCM block of `samples` samples: their count, a
// second count that readers do not use, and four skipped bytes. No notes we
// know of describe the last two: we write the count again and four zeros,
// unverified on a device. The codes follow, two to a byte. Ok, or badSetting
// (appending nothing) for more samples than a compact count holds.
Status appendAdpcmBlockHeader(std::vector<std::uint8_t>& bytes, std::uint32_t samples);

}  // namespace recwav
