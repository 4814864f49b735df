// SPDX-License-Identifier: MIT
// Encodes arbitrary samples with settings taken from the input's first bytes,
// in chunks of sizes drawn from it too, and aborts unless recwav's own decoder
// reads the bytes back as exactly the samples the encoder reported, in blocks
// no longer than the most allowed, and unless the A-law codes of the same
// samples are nearest codes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

using namespace recwav;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// A file holding `bytes`; an empty memory stream is refused by some C libraries.
std::FILE* openMemory(std::vector<std::uint8_t>& bytes) {
    return bytes.empty() ? std::tmpfile() : fmemopen(bytes.data(), bytes.size(), "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    // Mostly short blocks, so that their edges come often; now and then long ones.
    const std::uint32_t raw = loadLe16(data);
    AdpcmSettings settings;
    settings.maxBlock = (data[2] & 0x80U) != 0 ? 1 + raw % 20000 : 1 + raw % 300;
    settings.fixedBlocks = (data[2] & 0x01U) != 0;
    // Every search but the widest, which is too slow to fuzz.
    settings.search = static_cast<AdpcmSearch>((data[2] >> 1U) % 4);
    std::uint32_t chunkSeed = data[3] | 1U;
    std::vector<std::int16_t> samples((size - 4) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(loadLe16(data + 4 + 2 * i));
    }

    AdpcmEncoder encoder;
    encoder.settings = settings;
    std::vector<std::uint8_t> bytes;
    std::vector<std::int16_t> decoded;
    std::size_t reported = 0;
    for (std::size_t at = 0; at < samples.size();) {
        chunkSeed = chunkSeed * 1103515245U + 12345U;
        const std::size_t count = std::min<std::size_t>(samples.size() - at, 1 + (chunkSeed >> 16U) % 1500);
        reported += encodeAdpcm(encoder, samples.data() + at, count, bytes, &decoded);
        at += count;
        check(encoder.pending.size() <= adpcmWindow(settings), "the window stays bounded");
    }
    reported += finishAdpcm(encoder, bytes, &decoded);
    check(reported == samples.size() && decoded.size() == samples.size(), "every sample is coded once");

    // The blocks, as the Record file reader's counts read them.
    std::FILE* file = openMemory(bytes);
    std::size_t total = 0;
    for (CompactCount count; (count = readCompactCount(file)).complete;) {
        check(count.value >= 1 && count.value <= settings.maxBlock, "block lengths from 1 to maxBlock");
        check(!settings.fixedBlocks || count.value == settings.maxBlock || total + count.value == samples.size(),
              "fixed blocks are all full but the last");
        readCompactCount(file);
        std::fseek(file, 4 + (count.value + 1) / 2, SEEK_CUR);
        total += count.value;
    }
    std::fclose(file);
    check(total == samples.size(), "the blocks hold every sample");

    // recwav's decoder, in the converter's requests of 4000.
    file = openMemory(bytes);
    SoundStream stream;
    stream.file = file;
    std::vector<std::int16_t> read(samples.size() + 4000);
    std::size_t got = 0;
    for (std::uint32_t step = 4000; step == 4000; got += step) {
        step = decodeAdpcm(4000, read.data() + got, stream);
    }
    std::fclose(file);
    read.resize(got);
    check(read == decoded, "the decoder reads back what the encoder reported");

    // Its exhaustive check is a unit test; here a few samples of each input.
    for (std::size_t i = 0; i < samples.size() && i < 64; ++i) {
        const std::int16_t sample = samples[i];
        const int error = std::abs(aLawTable[encodeALawSample(sample)] - sample);
        for (const std::int16_t value : aLawTable) {
            check(error <= std::abs(value - sample), "A-law codes are nearest");
        }
    }
    return 0;
}
