// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the Record file reader and the decoders, driven as
// the converter drives them, and aborts when something that must hold for
// every input does not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/recordfile.hpp>
#include "converter/converter.hpp"

using namespace recwav;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

std::FILE* openMemory(const std::uint8_t* data, std::size_t size) {
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

std::uint32_t checkedDecode(std::uint32_t wanted, std::int16_t* buffer, SoundStream& stream) {
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
};

Parsed parse(const std::uint8_t* data, std::size_t size) {
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
    return parsed;
}

// Decodes the whole stream with request sizes taken in turn from `requests`.
std::vector<std::int16_t> decodeWith(const std::uint8_t* data, std::size_t size,
                                     const std::vector<std::uint32_t>& requests) {
    Parsed parsed = parse(data, size);
    std::vector<std::int16_t> samples;
    if (parsed.accepted) {
        constexpr std::int16_t guard = 0x5A5A;
        constexpr std::size_t guardSamples = 8;
        std::vector<std::int16_t> buffer(samplesPerCall + guardSamples);
        for (std::size_t call = 0;; ++call) {
            const std::uint32_t wanted = requests[call % requests.size()];
            const auto guardStart = buffer.begin() + wanted;
            std::fill(guardStart, guardStart + guardSamples, guard);
            const std::uint32_t produced = parsed.stream.decode(wanted, buffer.data(), parsed.stream);
            check(produced <= wanted, "a call returns no more than asked");
            check(std::all_of(guardStart, guardStart + guardSamples, [](std::int16_t s) { return s == guard; }),
                  "nothing is written past the request");
            samples.insert(samples.end(), buffer.begin(), buffer.begin() + produced);
            check(samples.size() <= 2 * size, "no more samples than the input can code");
            if (produced < wanted) {
                break;
            }
        }
    }
    std::fclose(parsed.input);
    return samples;
}

// What the converter writes for the input, through its own loop.
std::vector<std::uint8_t> convert(const std::uint8_t* data, std::size_t size) {
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
        std::vector<std::int16_t> buffer(samplesPerCall);
        check(convertSound(parsed.stream, buffer.data(), output), "the output takes every sample");
        std::fclose(output);
        written.assign(outputBytes, outputBytes + outputSize);
        std::free(outputBytes);
    }
    std::fclose(parsed.input);
    return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
            const auto value = static_cast<std::uint16_t>(samples[i]);
            check(written[2 * i] == (value & 0xFFU) && written[2 * i + 1] == (value >> 8),
                  "the same samples, little-endian, for any request sizes");
        }
    }
    return 0;
}
