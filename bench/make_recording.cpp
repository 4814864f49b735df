// SPDX-License-Identifier: MIT
// Writes a seeded Record file of noise for benchmarks and memory checks:
//   make-recording alaw|adpcm SOUND_BYTES SEED PATH
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/record_builder.hpp"

int main(int argc, char* argv[]) {
    const std::string coding = argc == 5 ? argv[1] : "";
    if (coding != "alaw" && coding != "adpcm") {
        std::printf("usage: make-recording alaw|adpcm SOUND_BYTES SEED PATH\n");
        return 2;
    }
    const std::uint32_t codec = coding == "alaw" ? fixture::codecALaw : fixture::codecAdpcm;
    const fixture::Bytes bytes = fixture::longRecording(codec, std::strtoull(argv[2], nullptr, 10),
                                                        static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    if (!fixture::saveBytes(argv[4], bytes)) {
        std::printf("could not write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
