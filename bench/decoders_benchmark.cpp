// SPDX-License-Identifier: MIT
// The two decoders alone, reading a recording from a temporary file, in
// samples per second. Built with -DRECWAV_BENCHMARKS=ON.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include <recwav/recordfile.hpp>
#include "support/record_builder.hpp"

using namespace recwav;

namespace {

constexpr std::uint32_t callSamples = 4000;

void decodeWhole(benchmark::State& state, std::uint32_t codec) {
    const fixture::Bytes bytes = fixture::longRecording(codec, 4'000'000, 11);
    std::FILE* input = std::tmpfile();
    if (input == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), input) != bytes.size()) {
        state.SkipWithError("cannot write a temporary file");
        return;
    }
    std::vector<std::int16_t> buffer(callSamples);
    std::int64_t samples = 0;
    for (auto _ : state) {
        std::rewind(input);
        SoundStream stream;
        if (parseRecordFile(input, stream) == -1) {
            state.SkipWithError("the recording is refused");
            break;
        }
        std::uint32_t produced = 0;
        do {
            produced = stream.decode(callSamples, buffer.data(), stream);
            samples += produced;
            benchmark::DoNotOptimize(buffer.data());
        } while (produced == callSamples);
    }
    state.SetItemsProcessed(samples);
    std::fclose(input);
}

void ALaw(benchmark::State& state) {
    decodeWhole(state, fixture::codecALaw);
}
void Adpcm(benchmark::State& state) {
    decodeWhole(state, fixture::codecAdpcm);
}

}  // namespace

BENCHMARK(ALaw)->Unit(benchmark::kMillisecond);
BENCHMARK(Adpcm)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
