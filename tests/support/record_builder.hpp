// Builds Record files byte by byte for the tests and the example generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fixture {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t soundDataUid = 0x10000052;
inline constexpr std::uint32_t identityUid = 0x10000089;
inline constexpr std::uint32_t identityWord = 0x1000007E;
inline constexpr std::uint32_t codecALaw = 0;

void putLe16(Bytes& bytes, std::uint16_t value);
void putLe32(Bytes& bytes, std::uint32_t value);
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

}  // namespace fixture
