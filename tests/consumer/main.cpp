// SPDX-License-Identifier: MIT
// Tells the coding of a Record file, its declared length and how many samples
// it decodes to, and its loudest sample: the reader and decoders used from
// another program's own code.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <recwav/decoders.hpp>
#include <recwav/recordfile.hpp>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::printf("usage: recinfo file.rec\n");
        return 2;
    }
    std::FILE* input = std::fopen(argv[1], "rb");
    if (input == nullptr) {
        std::printf("cannot open %s\n", argv[1]);
        return 1;
    }
    recwav::SoundStream stream;
    if (recwav::parseRecordFile(input, stream) == -1) {
        std::printf("%s: not a Record file recwav understands\n", argv[1]);
        std::fclose(input);
        return 1;
    }
    std::int16_t samples[4000];
    std::uint64_t decoded = 0;
    int loudest = 0;
    std::uint32_t produced = 0;
    do {
        produced = stream.decode(4000, samples, stream);
        for (std::uint32_t i = 0; i < produced; ++i) {
            loudest = std::max(loudest, std::abs(static_cast<int>(samples[i])));
        }
        decoded += produced;
    } while (produced == 4000);
    std::fclose(input);
    std::printf("%s, %u samples declared, %llu decoded, loudest %d\n",
                stream.decode == recwav::decodeALaw ? "A-law" : "ADPCM", stream.sampleCount,
                static_cast<unsigned long long>(decoded), loudest);
    return 0;
}
