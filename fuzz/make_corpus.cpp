// SPDX-License-Identifier: MIT
// Writes the fuzzer's seed corpus into the folder given: small Record files of
// both codings in every table layout, ADPCM blocks in every header form, and
// recordings long enough for several of the converter's batches.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/record_builder.hpp"

namespace {

using fixture::Bytes;

std::vector<std::int16_t> wave(std::size_t count) {
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i < count; ++i) {
        samples.push_back(static_cast<std::int16_t>((i * 2654435761U) % 30000 - 15000));
    }
    return samples;
}

void append(Bytes& bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// Blocks whose headers use each form of compact count, an odd block, an empty
// block and skipped bytes that look like counts.
Bytes adpcmSound() {
    const std::vector<std::uint8_t> codes = fixture::encodeAdpcmCodes(wave(9));
    Bytes sound = fixture::adpcmBlock(codes);
    append(sound, fixture::adpcmBlock({}, 16383, {0x03, 0x40, 0x1F, 0x00}));
    append(sound, fixture::adpcmBlock(fixture::encodeAdpcmCodes(wave(300)), 536870911));
    append(sound, {0x53, 0x00, 0x00, 0x00, 0x0A, 0x05, 0x01, 0xFF, 0xFF});  // 4-byte form: 10 samples
    append(sound, fixture::packNibbles(std::vector<std::uint8_t>(10, 0x7)));
    append(sound, {0x07, 0x00, 0xFD, 0xFF, 0, 0, 0, 0});  // unshifted form: 7 samples
    append(sound, fixture::packNibbles({0x7, 0xF, 0x0, 0x8, 0x4, 0xC, 0x3}));
    return sound;
}

// Blocks whose lengths put batch boundaries inside a block, at a block's end
// and inside a code byte: 4001 (odd, past one batch), 505, 9000 and 3.
Bytes longAdpcmSound() {
    Bytes sound;
    for (const std::size_t samples : {4001, 505, 9000, 3}) {
        append(sound, fixture::adpcmBlock(fixture::encodeAdpcmCodes(wave(samples))));
    }
    return sound;
}

struct LongSeed {
    const char* name;
    std::uint32_t codec;
    Bytes sound;
    std::uint32_t declared;
};

// Samples well past the first batch of the converter, declared as they are or not.
std::vector<LongSeed> longSeeds() {
    return {
        {"alaw-10000.rec", fixture::codecALaw, fixture::encodeALaw(wave(10000)), 10000},
        {"alaw-20000-declared-5000.rec", fixture::codecALaw, fixture::encodeALaw(wave(20000)), 5000},
        {"adpcm-long-blocks.rec", fixture::codecAdpcm, longAdpcmSound(), 4001 + 505 + 9000 + 3},
        {"adpcm-30-blocks-of-505.rec", fixture::codecAdpcm, fixture::encodeAdpcm(wave(15150), 505), 20000},
    };
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::printf("usage: %s folder\n", argc > 0 ? argv[0] : "make-corpus");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);

    struct Layout {
        const char* name;
        std::vector<std::uint32_t> uids;
        bool tableAfterSound;
        std::uint8_t countLowBit;
    };
    const std::vector<Layout> layouts = {
        {"identity-then-sound", {fixture::identityUid, fixture::soundDataUid}, false, 0},
        {"sound-then-identity", {fixture::soundDataUid, fixture::identityUid}, false, 1},
        {"sound-only", {fixture::soundDataUid}, false, 0},
        {"two-sound-entries", {fixture::soundDataUid, fixture::identityUid, fixture::soundDataUid}, false, 0},
        {"table-behind-sound", {fixture::identityUid, fixture::soundDataUid}, true, 0},
    };
    int written = 0;
    for (const Layout& layout : layouts) {
        for (const bool adpcm : {false, true}) {
            fixture::RecordFile file;
            file.codec = adpcm ? fixture::codecAdpcm : fixture::codecALaw;
            file.sound = adpcm ? adpcmSound() : fixture::encodeALaw(wave(64));
            file.sampleCount = adpcm ? 336 : 64;
            file.tableUids = layout.uids;
            file.tableAfterSound = layout.tableAfterSound;
            file.countLowBit = layout.countLowBit;
            const Bytes bytes = fixture::buildRecordFile(file).bytes;
            const std::string name = std::string(adpcm ? "adpcm-" : "alaw-") + layout.name + ".rec";
            if (!fixture::saveBytes((folder / name).string().c_str(), bytes)) {
                std::printf("could not write %s\n", name.c_str());
                return 1;
            }
            ++written;
        }
    }
    for (const LongSeed& seed : longSeeds()) {
        fixture::RecordFile file;
        file.codec = seed.codec;
        file.sound = seed.sound;
        file.sampleCount = seed.declared;
        if (!fixture::saveBytes((folder / seed.name).string().c_str(), fixture::buildRecordFile(file).bytes)) {
            std::printf("could not write %s\n", seed.name);
            return 1;
        }
        ++written;
    }
    std::printf("%d seed files in %s\n", written, folder.string().c_str());
    return 0;
}
