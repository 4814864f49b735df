// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes through the whole conversion, in memory: the Record
// file reader, the WAVE header and the converter's batch loop over the
// decoders. Aborts when something that must hold for every input does not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>
#include <recwav/wav.hpp>

using namespace recwav;

// The harness's own loops and comparisons are not what is explored: left
// uninstrumented they neither slow each run nor add features of their own.
#define HARNESS __attribute__((no_sanitize("coverage")))

namespace {

HARNESS void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

HARNESS std::FILE* openMemory(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return std::tmpfile();  // an empty memory stream is refused by some C libraries
    }
    return fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
}

// The converter calls the decoder through the stream; this stands in between
// and checks every call it makes.
DecodeFn realDecode = nullptr;
std::size_t inputSize = 0;
std::size_t decodedSoFar = 0;

HARNESS std::uint32_t checkedDecode(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream) {
    const std::uint32_t produced = realDecode(wanted, buffer, stream);
    check(produced <= wanted, "a call returns no more than asked");
    decodedSoFar += produced;
    // At most two samples per byte, so the stream must end.
    check(decodedSoFar <= 2 * inputSize, "no more samples than the input can code");
    if (produced < wanted) {
        check(realDecode(wanted, buffer, stream) == 0, "a short call ends the stream");
    }
    return produced;
}

struct Parsed {
    std::FILE* input = nullptr;
    SoundStream stream;
    bool accepted = false;
    std::size_t soundStart = 0;  // where the codes begin
};

HARNESS Parsed parse(const std::uint8_t* data, std::size_t size) {
    Parsed parsed;
    parsed.input = openMemory(data, size);
    check(parsed.input != nullptr, "the input opens");
    const std::int32_t declared = parseRecordFile(parsed.input, parsed.stream);
    parsed.accepted = declared != -1;
    if (!parsed.accepted) {
        // Only a declared count of 0xFFFFFFFF, which reads as -1, is refused
        // after the sound header has been taken.
        check(parsed.stream.file == nullptr || parsed.stream.sampleCount == 0xFFFFFFFFU,
              "a refused input is not handed to a decoder");
        return parsed;
    }
    check(declared == static_cast<std::int32_t>(parsed.stream.sampleCount), "the declared count is returned");
    check(parsed.stream.file == parsed.input, "the stream reads the input");
    check(parsed.stream.decode == decodeALaw || parsed.stream.decode == decodeAdpcm, "a known decoder");
    const long position = std::ftell(parsed.input);
    check(position >= 0 && static_cast<std::size_t>(position) <= size, "the sound starts inside the input");
    parsed.soundStart = static_cast<std::size_t>(position);
    return parsed;
}

// Decodes the whole stream with request sizes taken in turn from `requests`.
HARNESS std::vector<std::int16_t> decodeWith(const std::uint8_t* data, std::size_t size,
                                             const std::vector<std::uint32_t>& requests) {
    Parsed parsed = parse(data, size);
    // At most two samples per byte, so the stream must end within this.
    std::vector<std::int16_t> samples(2 * size);
    std::size_t count = 0;
    if (parsed.accepted) {
        constexpr std::int16_t guard = 0x5A5A;
        constexpr std::size_t guardSamples = 8;
        std::int16_t buffer[samplesPerCall + guardSamples];
        // Plain loops and copies: the standard library's templates would be
        // instrumented and slow every run.
        for (std::size_t call = 0;; ++call) {
            const std::uint32_t wanted = requests[call % requests.size()];
            for (std::size_t i = 0; i < guardSamples; ++i) {
                buffer[wanted + i] = guard;
            }
            const std::uint32_t produced = parsed.stream.decode(wanted, buffer, parsed.stream);
            check(produced <= wanted, "a call returns no more than asked");
            for (std::size_t i = 0; i < guardSamples; ++i) {
                check(buffer[wanted + i] == guard, "nothing is written past the request");
            }
            check(count + produced <= samples.size(), "no more samples than the input can code");
            std::memcpy(samples.data() + count, buffer, produced * sizeof *buffer);
            count += produced;
            if (produced < wanted) {
                break;
            }
        }
    }
    std::fclose(parsed.input);
    samples.resize(count);
    return samples;
}

// The 44 bytes a header must hold for a declared count, spelt out field by
// field apart from the writer's own constants; the sizes wrap in 32 bits.
HARNESS std::vector<std::uint8_t> expectedHeader(std::uint32_t declared) {
    std::vector<std::uint8_t> header;
    const auto tag = [&header](const char* text) { header.insert(header.end(), text, text + 4); };
    tag("RIFF");
    appendLe32(header, 2 * declared + 36);
    tag("WAVE");
    tag("fmt ");
    appendLe32(header, 16);    // format chunk size
    appendLe16(header, 1);     // PCM
    appendLe16(header, 1);     // one channel
    appendLe32(header, 8000);  // samples per second
    appendLe32(header, 16000);
    appendLe16(header, 2);   // bytes per frame
    appendLe16(header, 16);  // bits per sample
    tag("data");
    appendLe32(header, 2 * declared);
    return header;
}

// The samples the converter writes for the input, behind the header it checks.
HARNESS std::vector<std::uint8_t> convert(const std::uint8_t* data, std::size_t size) {
    Parsed parsed = parse(data, size);
    std::vector<std::uint8_t> written;
    if (parsed.accepted) {
        char* outputBytes = nullptr;
        std::size_t outputSize = 0;
        std::FILE* output = open_memstream(&outputBytes, &outputSize);
        check(output != nullptr, "the output opens");
        realDecode = parsed.stream.decode;
        inputSize = size;
        decodedSoFar = 0;
        parsed.stream.decode = checkedDecode;
        check(writeWavHeader(output, parsed.stream) == Status::ok, "the header is written");
        std::vector<std::int16_t> buffer(samplesPerCall);
        // Memory neither fails a read nor refuses a write.
        check(convertSound(parsed.stream, buffer.data(), output) == Status::ok, "the conversion ends cleanly");
        check(std::fclose(output) == 0, "the output closes");
        const std::vector<std::uint8_t> header = expectedHeader(parsed.stream.sampleCount);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(outputBytes);
        check(outputSize >= header.size() && std::equal(header.begin(), header.end(), bytes),
              "the header holds the declared count");
        written.assign(bytes + header.size(), bytes + outputSize);
        std::free(outputBytes);
        const std::size_t codeBytes = size - parsed.soundStart;
        if (realDecode == decodeALaw) {
            check(written.size() == 2 * codeBytes, "every A-law byte behind the sound header is one sample");
        } else {
            check(written.size() <= 4 * codeBytes, "at most two ADPCM samples per byte");
        }
    }
    std::fclose(parsed.input);
    return written;
}

}  // namespace

HARNESS extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> written = convert(data, size);
    check(written.size() % 2 == 0, "whole samples are written");

    // Other request sizes, odd ones included, must give the very same samples.
    std::uint32_t seed = 2166136261U;
    for (std::size_t i = 0; i < size; ++i) {
        seed = (seed ^ data[i]) * 16777619U;
    }
    std::vector<std::uint32_t> mixed;
    for (int i = 0; i < 8; ++i) {
        seed = seed * 1664525U + 1013904223U;
        mixed.push_back(1 + (seed >> 8) % samplesPerCall);
    }
    for (const std::vector<std::uint32_t>& requests : {std::vector<std::uint32_t>{1}, mixed}) {
        const std::vector<std::int16_t> samples = decodeWith(data, size, requests);
        check(samples.size() * 2 == written.size(), "the same number of samples for any request sizes");
        for (std::size_t i = 0; i < samples.size(); ++i) {
            check(loadLe16(written.data() + 2 * i) == static_cast<std::uint16_t>(samples[i]),
                  "the same samples, little-endian, for any request sizes");
        }
    }
    return 0;
}
