// SPDX-License-Identifier: MIT
// Makes the example Record files in the folder given: a short synthesised tune,
// coded once in A-law and once in ADPCM.
// Integer arithmetic only, so that every machine makes the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "support/record_builder.hpp"

namespace {

constexpr std::int64_t sampleRate = 8000;
// Odd, so that blocks end inside a code byte and some of the converter's
// calls end after a high nibble.
constexpr std::size_t adpcmBlockSamples = 505;

struct Note {
    std::int64_t centiHertz;
    std::int64_t samples;
};

// The opening of "Twinkle, Twinkle, Little Star".
constexpr Note tune[] = {
    {26163, 3200}, {26163, 3200}, {39200, 3200}, {39200, 3200}, {44000, 3200}, {44000, 3200}, {39200, 6400},
};

// Bhaskara's approximation of sine over a 32-bit phase, scaled to +-32767.
std::int64_t sine(std::uint32_t phase) {
    const std::int64_t u = (phase & 0x7FFFFFFFU) >> 16;  // 0..32767 over half a turn
    const std::int64_t p = u * (32768 - u);
    const std::int64_t value = 16 * p * 32767 / (5 * (std::int64_t{1} << 30) - 4 * p);
    return (phase & 0x80000000U) != 0 ? -value : value;
}

std::vector<std::int16_t> synthesiseTune() {
    constexpr std::int64_t amplitude = 16000;
    constexpr std::int64_t attack = 160;
    constexpr std::int64_t release = 800;
    std::vector<std::int16_t> samples;
    std::uint32_t phase = 0;
    for (const Note& note : tune) {
        const auto step = static_cast<std::uint32_t>((note.centiHertz << 32) / (sampleRate * 100));
        for (std::int64_t i = 0; i < note.samples; ++i) {
            const std::int64_t left = note.samples - i;
            const std::int64_t envelope = i < attack ? i * 256 / attack : left < release ? left * 256 / release : 256;
            samples.push_back(static_cast<std::int16_t>(sine(phase) * amplitude / 32767 * envelope / 256));
            phase += step;
        }
    }
    return samples;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::printf("USAGE %s folder\nWrites the example Record files into the folder.\n", argc > 0 ? argv[0] : "");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::printf("Error: could not create %s: %s\n", folder.string().c_str(), error.message().c_str());
        return 1;
    }
    const std::vector<std::int16_t> samples = synthesiseTune();
    fixture::RecordFile tuneALaw;
    tuneALaw.sampleCount = static_cast<std::uint32_t>(samples.size());
    tuneALaw.sound = fixture::encodeALaw(samples);
    fixture::RecordFile tuneAdpcm;
    tuneAdpcm.sampleCount = static_cast<std::uint32_t>(samples.size());
    tuneAdpcm.codec = fixture::codecAdpcm;
    tuneAdpcm.sound = fixture::encodeAdpcm(samples, adpcmBlockSamples);

    for (const auto& [name, file] : {std::pair{"tune-alaw.rec", &tuneALaw}, std::pair{"tune-adpcm.rec", &tuneAdpcm}}) {
        const std::filesystem::path path = folder / name;
        if (!fixture::saveBytes(path.string().c_str(), fixture::buildRecordFile(*file).bytes)) {
            std::printf("Error: could not write %s\n", path.string().c_str());
            return 1;
        }
    }
    return 0;
}
