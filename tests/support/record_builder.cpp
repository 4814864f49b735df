#include "record_builder.hpp"

#include <algorithm>
#include <array>

namespace fixture {

namespace {

constexpr std::array<std::uint32_t, 4> identificationWords = {0x10000037, 0x1000006D, 0x1000007E,
                                                              0x5508ACCF};

bool lists(const std::vector<std::uint32_t>& uids, std::uint32_t uid) {
    return std::find(uids.begin(), uids.end(), uid) != uids.end();
}

std::uint32_t here(const Bytes& bytes) {
    return static_cast<std::uint32_t>(bytes.size());
}

void putTable(Bytes& bytes, const RecordFile& file, BuiltRecordFile& built) {
    built.tablePosition = here(bytes);
    bytes.push_back(static_cast<std::uint8_t>(file.tableUids.size() << 1 | file.countLowBit));
    for (const std::uint32_t uid : file.tableUids) {
        putLe32(bytes, uid);
        putLe32(bytes, 0);  // patched once the streams are laid out
    }
}

void putStreams(Bytes& bytes, const RecordFile& file, BuiltRecordFile& built) {
    if (lists(file.tableUids, identityUid)) {
        built.identityPosition = here(bytes);
        putLe32(bytes, file.identityFirstWord);
    }
    built.soundHeaderPosition = here(bytes);
    putLe32(bytes, file.sampleCount);
    putLe32(bytes, file.codec);
    putLe16(bytes, file.hdrShort);
    bytes.push_back(file.hdrByte);
    bytes.push_back(0);
    putLe32(bytes, file.hdrLong);
    putLe32(bytes, 0);
    built.soundPosition = here(bytes);
    bytes.insert(bytes.end(), file.sound.begin(), file.sound.end());
}

}  // namespace

void putLe16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLe32(Bytes& bytes, std::uint32_t value) {
    putLe16(bytes, static_cast<std::uint16_t>(value));
    putLe16(bytes, static_cast<std::uint16_t>(value >> 16));
}

void setLe32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

BuiltRecordFile buildRecordFile(const RecordFile& file) {
    BuiltRecordFile built;
    Bytes& bytes = built.bytes;
    for (const std::uint32_t word : identificationWords) {
        putLe32(bytes, word);
    }
    putLe32(bytes, 0);  // table position, patched below
    if (file.tableAfterSound) {
        putStreams(bytes, file, built);
        putTable(bytes, file, built);
    } else {
        putTable(bytes, file, built);
        putStreams(bytes, file, built);
    }
    setLe32(bytes, 16, built.tablePosition);
    for (std::size_t i = 0; i < file.tableUids.size(); ++i) {
        const std::uint32_t uid = file.tableUids[i];
        const std::uint32_t position = uid == soundDataUid  ? built.soundHeaderPosition
                                       : uid == identityUid ? built.identityPosition
                                                            : 0;
        setLe32(bytes, built.entryPositionOffset(i), position);
    }
    return built;
}

// The G.711 segment encoder, with the sign bit inverted to match the decoder.
std::uint8_t encodeALaw(std::int16_t sample) {
    constexpr std::array<int, 8> segmentEnds = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int magnitude = sample >> 3;
    std::uint8_t mask = 0x55;
    if (magnitude < 0) {
        mask = 0xD5;
        magnitude = -magnitude - 1;
    }
    const auto segment = static_cast<int>(
        std::lower_bound(segmentEnds.begin(), segmentEnds.end(), magnitude) - segmentEnds.begin());
    if (segment >= 8) {
        return static_cast<std::uint8_t>(0x7F ^ mask);
    }
    const int mantissa = (magnitude >> (segment < 2 ? 1 : segment)) & 0x0F;
    return static_cast<std::uint8_t>((segment << 4 | mantissa) ^ mask);
}

Bytes encodeALaw(const std::vector<std::int16_t>& samples) {
    Bytes codes;
    codes.reserve(samples.size());
    for (const std::int16_t sample : samples) {
        codes.push_back(encodeALaw(sample));
    }
    return codes;
}

}  // namespace fixture
