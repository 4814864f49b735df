// SPDX-License-Identifier: MIT
// Builds Record files byte by byte for the tests and the example generator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <recwav/recordfile.hpp>

namespace fixture {

using Bytes = std::vector<std::uint8_t>;

using recwav::codecAdpcm;
using recwav::codecALaw;
using recwav::identityUid;
using recwav::soundDataUid;
inline constexpr std::uint32_t identityWord = recwav::identityStreamWord;

// Overwrites the 32-bit little-endian value at `offset`, which must lie inside.
void setLe32(Bytes& bytes, std::size_t offset, std::uint32_t value);

// What goes into the file. Table entries point at the stream their UID names;
// entries with any other UID point at 0.
struct RecordFile {
    std::uint32_t sampleCount = 0;
    std::uint32_t codec = codecALaw;
    std::uint16_t hdrShort = 0;
    std::uint8_t hdrByte = 0;
    std::uint32_t hdrLong = 0;
    Bytes sound;  // the coded sound behind the sound header
    std::vector<std::uint32_t> tableUids = {identityUid, soundDataUid};
    std::uint8_t countLowBit = 0;  // bit 0 of the table's count byte
    std::uint32_t identityFirstWord = identityWord;
    bool tableAfterSound = false;  // otherwise the table comes first
};

struct BuiltRecordFile {
    Bytes bytes;
    std::uint32_t tablePosition = 0;
    std::uint32_t identityPosition = 0;  // 0 when the table has no identity entry
    std::uint32_t soundHeaderPosition = 0;
    std::uint32_t soundPosition = 0;  // first byte of coded sound

    // Offset of the position field of table entry `index`.
    std::size_t entryPositionOffset(std::size_t index) const { return tablePosition + 1 + 8 * index + 4; }
};

BuiltRecordFile buildRecordFile(const RecordFile& file);

// A-law coding as the decoder expects it (codes below 0x80 are positive).
std::uint8_t encodeALaw(std::int16_t sample);
Bytes encodeALaw(const std::vector<std::int16_t>& samples);

// The ADPCM decoder's arithmetic, written apart from it (tables included) so
// that the tests can predict its samples and the encoder can choose codes.
class AdpcmModel {
public:
    std::int16_t decode(std::uint8_t code);  // the sample a 4-bit code gives
    int stepIndex() const { return stepIndex_; }

private:
    int predictor_ = 0;
    int stepIndex_ = 0;
};

// The samples that `codes` give from the start of a block.
std::vector<std::int16_t> decodeAdpcmCodes(const std::vector<std::uint8_t>& codes);

// For each sample, the code that the decoder turns into the closest sample,
// starting from the start of a block.
std::vector<std::uint8_t> encodeAdpcmCodes(const std::vector<std::int16_t>& samples);

// ADPCM codes two to a byte, high nibble first; an odd last code leaves the
// low nibble 0.
Bytes packNibbles(const std::vector<std::uint8_t>& codes);

// One ADPCM block: the count of `codes`, `secondCount`, the four `skipped`
// bytes, then the codes two to a byte, high nibble first.
Bytes adpcmBlock(const std::vector<std::uint8_t>& codes, std::uint32_t secondCount = 0,
                 const std::array<std::uint8_t, 4>& skipped = {});

// `samples` coded in blocks of `blockSamples`; the last block may be shorter.
Bytes encodeAdpcm(const std::vector<std::int16_t>& samples, std::size_t blockSamples);

// A Series 3 sound file (WVE) as libsndfile writes it: a 32-byte header
// ("ALawSoundFile**", then big-endian: the version 0x0F10 at 16, the sample
// count at 18, the trailing silence in 1/32 s at 22, the number of plays at
// 24), then the
// A-law codes (G.711's, whose sign is the other way round from ours).
Bytes series3Sound(const Bytes& codes, std::uint16_t silence, std::uint16_t plays);

// Writes `bytes` to a new or emptied file; false when any step fails.
bool saveBytes(const char* path, const Bytes& bytes);

// A whole Record file of about `soundBytes` bytes of seeded noise: A-law codes,
// or ADPCM blocks of a few hundred samples each. The same seed gives the same file.
Bytes longRecording(std::uint32_t codec, std::size_t soundBytes, std::uint32_t seed);

}  // namespace fixture

namespace fixture {

// A Record file as wavrec lays one out, with the byte count of its coded
// sound in the sound header: `codes` are A-law bytes or ADPCM blocks.
Bytes wavrecLaidOut(std::uint32_t codec, std::uint32_t declared, const Bytes& codes);

// The same sound as an object embedded in a document: the file less its
// first 16 bytes, each of its positions counted from the object's start.
Bytes embeddedObject(const Bytes& wavrecLaidOutFile);

// An EPOC document (a Word file's UIDs) of `filler` bytes of text around the
// objects, each put after the filler's next share.
Bytes epocDocument(const std::vector<Bytes>& objects, std::size_t filler);

}  // namespace fixture
