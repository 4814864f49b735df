// SPDX-License-Identifier: MIT
#include "record_builder.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <recwav/endian.hpp>

namespace fixture {

namespace {

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
        recwav::appendLe32(bytes, uid);
        recwav::appendLe32(bytes, 0);  // patched once the streams are laid out
    }
}

void putStreams(Bytes& bytes, const RecordFile& file, BuiltRecordFile& built) {
    if (lists(file.tableUids, identityUid)) {
        built.identityPosition = here(bytes);
        recwav::appendLe32(bytes, file.identityFirstWord);
    }
    built.soundHeaderPosition = here(bytes);
    recwav::appendLe32(bytes, file.sampleCount);
    recwav::appendLe32(bytes, file.codec);
    recwav::appendLe16(bytes, file.hdrShort);
    bytes.push_back(file.hdrByte);
    bytes.push_back(0);
    recwav::appendLe32(bytes, file.hdrLong);
    recwav::appendLe32(bytes, 0);
    built.soundPosition = here(bytes);
    bytes.insert(bytes.end(), file.sound.begin(), file.sound.end());
}

// Typed out from the IMA ADPCM reference rather than shared with the decoder,
// so that a mistyped entry in either shows up as a difference.
constexpr std::array<int, 89> imaSteps = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767,
};

}  // namespace

void setLe32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    if (offset + 4 > bytes.size()) {
        throw std::out_of_range("a 32-bit value past the end of the file");
    }
    recwav::storeLe32(bytes.data() + offset, value);
}

BuiltRecordFile buildRecordFile(const RecordFile& file) {
    BuiltRecordFile built;
    Bytes& bytes = built.bytes;
    for (const std::uint32_t word : recwav::identificationWords) {
        recwav::appendLe32(bytes, word);
    }
    recwav::appendLe32(bytes, 0);  // table position, patched below
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
    const auto segment =
        static_cast<int>(std::lower_bound(segmentEnds.begin(), segmentEnds.end(), magnitude) - segmentEnds.begin());
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

std::int16_t AdpcmModel::decode(std::uint8_t code) {
    const int step = imaSteps.at(static_cast<std::size_t>(stepIndex_));
    const int magnitude = code & 0x7;
    // Whole step for bit 2, half for bit 1, quarter for bit 0, and an eighth
    // always, each rounded down on its own.
    int difference = step / 8;
    for (int bit = 2; bit >= 0; --bit) {
        if ((magnitude >> bit & 1) != 0) {
            difference += step >> (2 - bit);
        }
    }
    predictor_ = std::clamp(code < 8 ? predictor_ + difference : predictor_ - difference, -32768, 32767);
    stepIndex_ = std::clamp(stepIndex_ + (magnitude < 4 ? -1 : 2 * (magnitude - 3)), 0, 88);
    return static_cast<std::int16_t>(predictor_);
}

std::vector<std::int16_t> decodeAdpcmCodes(const std::vector<std::uint8_t>& codes) {
    AdpcmModel model;
    std::vector<std::int16_t> samples;
    samples.reserve(codes.size());
    for (const std::uint8_t code : codes) {
        samples.push_back(model.decode(code));
    }
    return samples;
}

std::vector<std::uint8_t> encodeAdpcmCodes(const std::vector<std::int16_t>& samples) {
    AdpcmModel model;
    std::vector<std::uint8_t> codes;
    codes.reserve(samples.size());
    for (const std::int16_t sample : samples) {
        std::uint8_t best = 0;
        int bestError = 1 << 30;
        for (std::uint8_t code = 0; code < 16; ++code) {
            AdpcmModel trial = model;
            const int error = std::abs(trial.decode(code) - sample);
            if (error < bestError) {
                best = code;
                bestError = error;
            }
        }
        model.decode(best);
        codes.push_back(best);
    }
    return codes;
}

Bytes packNibbles(const std::vector<std::uint8_t>& codes) {
    Bytes bytes;
    for (std::size_t i = 0; i < codes.size(); i += 2) {
        const std::uint8_t low = i + 1 < codes.size() ? codes[i + 1] : 0;
        bytes.push_back(static_cast<std::uint8_t>(codes[i] << 4 | low));
    }
    return bytes;
}

Bytes adpcmBlock(const std::vector<std::uint8_t>& codes, std::uint32_t secondCount,
                 const std::array<std::uint8_t, 4>& skipped) {
    Bytes bytes;
    recwav::appendCompactCount(bytes, static_cast<std::uint32_t>(codes.size()));
    recwav::appendCompactCount(bytes, secondCount);
    bytes.insert(bytes.end(), skipped.begin(), skipped.end());
    const Bytes packed = packNibbles(codes);
    bytes.insert(bytes.end(), packed.begin(), packed.end());
    return bytes;
}

Bytes encodeAdpcm(const std::vector<std::int16_t>& samples, std::size_t blockSamples) {
    Bytes bytes;
    for (std::size_t start = 0; start < samples.size(); start += blockSamples) {
        const std::size_t end = std::min(samples.size(), start + blockSamples);
        const std::vector<std::int16_t> block(samples.begin() + static_cast<std::ptrdiff_t>(start),
                                              samples.begin() + static_cast<std::ptrdiff_t>(end));
        const Bytes coded = adpcmBlock(encodeAdpcmCodes(block));
        bytes.insert(bytes.end(), coded.begin(), coded.end());
    }
    return bytes;
}

Bytes longRecording(std::uint32_t codec, std::size_t soundBytes, std::uint32_t seed) {
    std::uint32_t state = seed | 1U;
    const auto next = [&state] {  // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    RecordFile file;
    file.codec = codec;
    file.sound.reserve(soundBytes);
    if (codec == codecAdpcm) {
        std::uint32_t samples = 0;
        while (file.sound.size() < soundBytes) {
            const std::uint32_t blockSamples = 250 + next() % 500;
            recwav::appendCompactCount(file.sound, blockSamples);
            recwav::appendCompactCount(file.sound, 0);
            file.sound.insert(file.sound.end(), 4, 0);
            for (std::uint32_t i = 0; i < (blockSamples + 1) / 2; ++i) {
                file.sound.push_back(static_cast<std::uint8_t>(next() >> 24));
            }
            samples += blockSamples;
        }
        file.sampleCount = samples;
    } else {
        while (file.sound.size() < soundBytes) {
            file.sound.push_back(static_cast<std::uint8_t>(next() >> 24));
        }
        file.sampleCount = static_cast<std::uint32_t>(soundBytes);
    }
    return buildRecordFile(file).bytes;
}

bool saveBytes(const char* path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

Bytes series3Sound(const Bytes& codes, std::uint16_t silence, std::uint16_t plays) {
    Bytes bytes(recwav::series3SoundHeaderSize + codes.size());
    std::copy(recwav::series3SoundMagic.begin(), recwav::series3SoundMagic.end(), bytes.begin());
    recwav::storeBe16(bytes.data() + 16, 0x0F10);  // the version libsndfile writes
    recwav::storeBe32(bytes.data() + recwav::series3CountOffset, static_cast<std::uint32_t>(codes.size()));
    recwav::storeBe16(bytes.data() + recwav::series3SilenceOffset, silence);
    recwav::storeBe16(bytes.data() + recwav::series3PlaysOffset, plays);
    std::copy(codes.begin(), codes.end(), bytes.begin() + recwav::series3SoundHeaderSize);
    return bytes;
}

}  // namespace fixture

namespace fixture {

Bytes wavrecLaidOut(std::uint32_t codec, std::uint32_t declared, const Bytes& codes) {
    const auto preamble = recwav::recordFilePreamble(codec, declared, static_cast<std::uint32_t>(codes.size()),
                                                     recwav::defaultSoundHeaderFields);
    Bytes file(preamble.size() + codes.size());
    std::copy(preamble.begin(), preamble.end(), file.begin());
    std::copy(codes.begin(), codes.end(), file.begin() + static_cast<std::ptrdiff_t>(preamble.size()));
    return file;
}

Bytes embeddedObject(const Bytes& wavrecLaidOutFile) {
    constexpr std::size_t dropped = 16;
    Bytes object(wavrecLaidOutFile.begin() + dropped, wavrecLaidOutFile.end());
    const auto shift = [&object](std::size_t at) {
        setLe32(object, at, recwav::loadLe32(object.data() + at) - dropped);
    };
    shift(0);
    const std::size_t table = recwav::loadLe32(object.data());
    for (std::size_t entry = 0; entry < std::size_t{object[table]} >> 1; ++entry) {
        shift(table + 1 + 8 * entry + 4);
    }
    return object;
}

Bytes epocDocument(const std::vector<Bytes>& objects, std::size_t filler) {
    Bytes document(20, 0);
    setLe32(document, 0, recwav::identificationWords[0]);
    setLe32(document, 4, 0x1000006D);
    setLe32(document, 8, 0x1000007F);  // Word's application UID
    const std::size_t share = filler / (objects.size() + 1);
    const auto text = [&document](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            document.push_back(static_cast<std::uint8_t>("Voice notes inside. "[i % 20]));
        }
    };
    for (const Bytes& object : objects) {
        text(share);
        document.insert(document.end(), object.begin(), object.end());
    }
    text(filler - share * objects.size());
    setLe32(document, 16, static_cast<std::uint32_t>(document.size()));
    document.push_back(0);  // the host's own empty section table
    return document;
}

}  // namespace fixture
