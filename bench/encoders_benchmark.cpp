// SPDX-License-Identifier: MIT
// Measures the ADPCM encoder on a set of sounds at 8000 Hz: for each search,
// its signal-to-noise ratio and file size beside a plain encoder (nearest
// codes, blocks of 800), and its processor time per second of sound; beside
// FFmpeg's IMA ADPCM encoder, where its files are given, on the same blocks
// from the same starting states, both decoded by recwav's decoder.
//   encoders-benchmark --make DIR     writes music.wav, sweep.wav and clicks.wav to DIR
//   encoders-benchmark SOUND.wav...   measures, naming each sound by its file name
//   encoders-benchmark --make-loud DIR  writes click.wav, plucks.wav and drums.wav to DIR
//   encoders-benchmark --quality SOUND.wav...  the default and best searches
//                                    against the reference search on their own blocks
//   encoders-benchmark --quality-wide SOUND.wav...  and best and the reference
//                                    on blocks of up to 1600
// SOUND.wav: 16-bit mono PCM at 8000 Hz. Beside it, SOUND.trellisN.wav (N = 0,
// 8, 16) is FFmpeg's adpcm_ima_wav coding of it, and SOUND.trellisN.time the
// processor seconds that took (bench/encoders.sh makes both).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

#include <recwav/decoders.hpp>
#include <recwav/encoders.hpp>
#include <recwav/endian.hpp>
#include <recwav/recordfile.hpp>

#include "adpcm_reference.hpp"

namespace {

using Samples = std::vector<std::int16_t>;
using Bytes = std::vector<std::uint8_t>;
constexpr double rate = 8000;

std::int16_t toSample(double value) {
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

Bytes readFile(const std::string& path) {
    Bytes bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    std::uint8_t buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::fclose(file);
    return bytes;
}

// The body of a WAVE file's chunk `name`; empty if there is none.
Bytes waveChunk(const Bytes& bytes, const char* name) {
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t size = recwav::loadLe32(&bytes[at + 4]);
        const std::size_t end = std::min<std::size_t>(bytes.size(), at + 8 + std::size_t{size});
        if (std::memcmp(&bytes[at], name, 4) == 0) {
            return {bytes.begin() + static_cast<std::ptrdiff_t>(at + 8),
                    bytes.begin() + static_cast<std::ptrdiff_t>(end)};
        }
        at += 8 + std::size_t{size} + (size & 1U);
    }
    return {};
}

// The samples of a plain 16-bit mono WAVE file; empty if it is not one.
Samples readWave(const std::string& path) {
    const Bytes data = waveChunk(readFile(path), "data");
    Samples samples(data.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(recwav::loadLe16(&data[2 * i]));
    }
    return samples;
}

bool writeWave(const std::string& path, const Samples& samples) {
    const auto bytes = static_cast<std::uint32_t>(2 * samples.size());
    Bytes out(44);
    std::memcpy(out.data(), "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\0\0\0\0\0\0\0\0\x02\0\x10\0data", 40);
    recwav::storeLe32(&out[4], 36 + bytes);
    recwav::storeLe32(&out[24], static_cast<std::uint32_t>(rate));
    recwav::storeLe32(&out[28], static_cast<std::uint32_t>(2 * rate));
    recwav::storeLe32(&out[40], bytes);
    for (const std::int16_t sample : samples) {
        recwav::appendLe16(out, static_cast<std::uint16_t>(sample));
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const bool written = file != nullptr && std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return file != nullptr && std::fclose(file) == 0 && written;
}

// Chords of decaying harmonic notes, a new one every half second.
Samples music() {
    const double roots[] = {220.0, 174.61, 261.63, 196.0};
    const double chord[] = {1.0, 1.25992, 1.49831, 2.0};
    Samples samples(static_cast<std::size_t>(8 * rate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const auto beat = static_cast<std::size_t>(t * 2);
        const double since = t - static_cast<double>(beat) / 2;
        double value = 0;
        for (const double ratio : chord) {
            const double f = roots[beat / 4 % 4] * ratio;
            for (int harmonic = 1; harmonic <= 5 && f * harmonic < rate / 2; ++harmonic) {
                value += std::sin(2 * std::numbers::pi * f * harmonic * t) / (harmonic * harmonic);
            }
        }
        samples[i] = toSample(5000 * value * std::exp(-3 * since) * std::min(1.0, since * 200));
    }
    return samples;
}

// A sine at half the full scale, sweeping from 50 Hz to 3.9 kHz in 8 seconds.
Samples sweep() {
    const double seconds = 8;
    const double from = 50;
    const double to = 3900;
    const double k = std::log(to / from) / seconds;
    Samples samples(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        samples[i] = toSample(16000 * std::sin(2 * std::numbers::pi * from * (std::exp(k * t) - 1) / k));
    }
    return samples;
}

// Silence broken every 0.37 s by a click: a sharp onset ringing at 1.3 kHz
// and dying away within 10 ms.
Samples clicks() {
    Samples samples(static_cast<std::size_t>(8 * rate), 0);
    for (std::size_t at = 1000; at + 80 < samples.size(); at += 2960) {
        for (std::size_t i = 0; i < 80; ++i) {
            const double t = static_cast<double>(i) / rate;
            samples[at + i] = toSample(20000 * std::exp(-600 * t) * std::cos(2 * std::numbers::pi * 1300 * t));
        }
    }
    return samples;
}

// One click 1.5 s into 3 s of silence: a sharp, loud onset ringing at 1.1 kHz
// for some 15 ms.
Samples click() {
    Samples samples(static_cast<std::size_t>(3 * rate), 0);
    for (std::size_t i = 0; i < 120; ++i) {
        const double t = static_cast<double>(i) / rate;
        samples[12007 + i] = toSample(30000 * std::exp(-400 * t) * std::cos(2 * std::numbers::pi * 1100 * t));
    }
    return samples;
}

// Piano-like plucked chords: every 0.6 s three notes struck at once, each of
// eight harmonics with no attack ramp, the higher dying away sooner.
Samples plucks() {
    const double roots[] = {261.63, 220.0, 174.61, 196.0, 329.63};
    const double chord[] = {1.0, 1.25992, 1.49831};
    Samples samples(static_cast<std::size_t>(8 * rate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const auto beat = static_cast<std::size_t>(t / 0.6);
        const double since = t - static_cast<double>(beat) * 0.6;
        double value = 0;
        for (const double ratio : chord) {
            const double f = roots[beat % 5] * ratio;
            for (int harmonic = 1; harmonic <= 8 && f * harmonic < rate / 2; ++harmonic) {
                value += std::sin(2 * std::numbers::pi * f * harmonic * since) / harmonic *
                         std::exp(-(2.0 + 1.5 * harmonic) * since);
            }
        }
        samples[i] = toSample(9000 * value);
    }
    return samples;
}

// Drums at 120 beats a minute: a kick (a sine falling from 130 to 50 Hz), a
// snare (a noise burst over 190 Hz) and closed hats (short bursts of noise).
Samples drums() {
    Samples samples(static_cast<std::size_t>(8 * rate));
    std::uint32_t seed = 1;
    const auto noise = [&seed] {
        seed = seed * 1664525 + 1013904223;
        return static_cast<double>(seed >> 8) / (1 << 23) - 1;
    };
    const std::size_t eighth = static_cast<std::size_t>(rate / 4);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::size_t hit = i / eighth;
        const double t = static_cast<double>(i % eighth) / rate;
        double value = 6000 * noise() * std::exp(-t / 0.012);  // the hat, every eighth
        if (hit % 4 == 0) {
            const double phase = 2 * std::numbers::pi * (50 * t + 80 * 0.03 * (1 - std::exp(-t / 0.03)));
            value += 28000 * std::sin(phase) * std::exp(-t / 0.12);
        } else if (hit % 4 == 2) {
            value += (14000 * noise() + 9000 * std::sin(2 * std::numbers::pi * 190 * t)) * std::exp(-t / 0.06);
        }
        samples[i] = toSample(value);
    }
    return samples;
}

double snr(const std::int16_t* original, const std::int16_t* decoded, std::size_t count) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double error = static_cast<double>(original[i]) - decoded[i];
        signal += static_cast<double>(original[i]) * original[i];
        noise += error * error;
    }
    return noise == 0 ? INFINITY : 10 * std::log10(signal / noise);
}

double processorSeconds(std::clock_t since) {
    return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC;
}

struct Mode {
    const char* name;
    recwav::AdpcmSettings settings;
    int rounds;  // timed this many times, the fastest kept
};

const Mode modes[] = {
    {"nearest, fixed 800 (baseline)", {800, true, recwav::AdpcmSearch::nearest}, 5},
    {"nearest", {800, false, recwav::AdpcmSearch::nearest}, 5},
    {"narrow (the default of 1.0)", {800, false, recwav::AdpcmSearch::narrow}, 5},
    {"standard (the default)", {800, false, recwav::AdpcmSearch::standard}, 5},
    {"best", {800, false, recwav::AdpcmSearch::best}, 1},
    {"widest (reference)", {800, false, recwav::AdpcmSearch::widest}, 1},
};

struct Coded {
    Bytes bytes;
    Samples decoded;
    double seconds = INFINITY;  // the fastest round
};

Coded encode(const Samples& samples, const Mode& mode) {
    Coded coded;
    for (int round = 0; round < mode.rounds; ++round) {
        recwav::AdpcmEncoder encoder;
        encoder.settings = mode.settings;
        Bytes bytes;
        Samples decoded;
        const std::clock_t start = std::clock();
        // In chunks of 4000, as wavrec hands them over.
        for (std::size_t at = 0; at < samples.size(); at += 4000) {
            recwav::encodeAdpcm(encoder, samples.data() + at, std::min<std::size_t>(4000, samples.size() - at), bytes,
                                &decoded);
        }
        recwav::finishAdpcm(encoder, bytes, &decoded);
        coded.seconds = std::min(coded.seconds, processorSeconds(start));
        coded.bytes = std::move(bytes);
        coded.decoded = std::move(decoded);
    }
    return coded;
}

// FFmpeg's IMA ADPCM blocks: a starting state, then codes.
struct PeerBlock {
    std::size_t first;  // the sample the header holds; the codes follow it
    recwav::AdpcmState start;
    std::vector<std::uint8_t> codes;  // one a byte
};

// The mono blocks of an adpcm_ima_wav file: each a 4-byte header (the first
// sample, the step index), then codes, eight to 4 bytes, low nibble first.
std::vector<PeerBlock> readPeer(const std::string& path) {
    const Bytes bytes = readFile(path);
    const Bytes format = waveChunk(bytes, "fmt ");
    const Bytes data = waveChunk(bytes, "data");
    std::vector<PeerBlock> blocks;
    if (format.size() < 16 || recwav::loadLe16(&format[0]) != 0x11 || recwav::loadLe16(&format[2]) != 1) {
        return blocks;
    }
    const std::size_t align = recwav::loadLe16(&format[12]);
    for (std::size_t at = 0; align > 4 && at + align <= data.size(); at += align) {
        PeerBlock block;
        block.first = blocks.size() * (1 + 2 * (align - 4));
        block.start.predictor = static_cast<std::int16_t>(recwav::loadLe16(&data[at]));
        block.start.stepIndex = std::min<std::uint32_t>(data[at + 2], recwav::adpcmMaxStepIndex);
        for (std::size_t i = at + 4; i < at + align; ++i) {
            block.codes.push_back(data[i] & 0x0FU);
            block.codes.push_back(data[i] >> 4U);
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

// FFmpeg's blocks and ours on the same samples from the same states.
void comparePeer(const std::string& path, const Samples& samples) {
    const std::string stem = path.substr(0, path.rfind('.'));
    std::vector<PeerBlock> blocks = readPeer(stem + ".trellis8.wav");
    while (!blocks.empty() && blocks.back().first + 1 + blocks.back().codes.size() > samples.size()) {
        blocks.pop_back();  // the last, padded with silence
    }
    if (blocks.empty()) {
        return;
    }
    // The coded samples, in order: all but each block's first.
    Samples original;
    for (const PeerBlock& block : blocks) {
        original.insert(original.end(), samples.begin() + static_cast<std::ptrdiff_t>(block.first + 1),
                        samples.begin() + static_cast<std::ptrdiff_t>(block.first + 1 + block.codes.size()));
    }
    const double soundSeconds = static_cast<double>(original.size()) / rate;
    for (const int trellis : {0, 8, 16}) {
        const std::string peer = stem + ".trellis" + std::to_string(trellis);
        const std::vector<PeerBlock> theirs = readPeer(peer + ".wav");
        const Bytes time = readFile(peer + ".time");
        if (theirs.size() < blocks.size()) {
            continue;
        }
        Samples decoded;
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            recwav::AdpcmState state = theirs[b].start;
            for (const std::uint8_t code : theirs[b].codes) {
                decoded.push_back(recwav::decodeAdpcmCode(state, code));
            }
        }
        std::printf("  %-32s %9.2f %12.1f\n", ("FFmpeg -trellis " + std::to_string(trellis)).c_str(),
                    snr(original.data(), decoded.data(), original.size()),
                    1000 * std::atof(std::string(time.begin(), time.end()).c_str()) /
                        (static_cast<double>(samples.size()) / rate));
    }
    for (const Mode& mode : modes) {
        if (mode.settings.fixedBlocks) {
            continue;
        }
        Samples decoded;
        std::vector<std::uint8_t> codes;
        const std::clock_t start = std::clock();
        for (const PeerBlock& block : blocks) {
            recwav::AdpcmState state = block.start;
            codes.resize(block.codes.size());
            recwav::searchAdpcmCodes(samples.data() + block.first + 1, codes.size(), state, mode.settings.search,
                                     codes.data());
            state = block.start;
            for (const std::uint8_t code : codes) {
                decoded.push_back(recwav::decodeAdpcmCode(state, code));
            }
        }
        const double elapsed = processorSeconds(start);
        std::printf("  %-32s %9.2f %12.1f\n", mode.name, snr(original.data(), decoded.data(), original.size()),
                    1000 * elapsed / soundSeconds);
    }
}

// The length of every block of an ADPCM stream, from the blocks' headers.
std::vector<std::uint32_t> blockLengths(Bytes bytes) {
    std::vector<std::uint32_t> lengths;
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    for (recwav::CompactCount count; file != nullptr && (count = recwav::readCompactCount(file)).complete;) {
        recwav::readCompactCount(file);
        lengths.push_back(count.value);
        std::fseek(file, static_cast<long>(4 + (std::int64_t{count.value} + 1) / 2), SEEK_CUR);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return lengths;
}

// Issue 28's table: the default and best searches, the reference on the
// blocks they chose, the default beside the same search in fixed blocks, and
// best with blocks of up to 1600 beside 800.
int quality(int count, char* paths[], bool wide) {
    std::printf(
        "| sound | default | best | reference | default short by | best short by | fixed 800, standard | "
        "best, max 1600 | reference, max 1600 | default ms per s | best ms per s |\n|---|---|---|---|---|---|---|"
        "---|---|---|---|\n");
    for (int i = 0; i < count; ++i) {
        const Samples samples = readWave(paths[i]);
        std::string name = paths[i];
        name = name.substr(name.find_last_of('/') + 1);
        name = name.substr(0, name.rfind('.'));
        const double seconds = static_cast<double>(samples.size()) / rate;
        const auto measure = [&](std::uint32_t maxBlock, bool fixed, recwav::AdpcmSearch search, int rounds) {
            return encode(samples, {"", {maxBlock, fixed, search}, rounds});
        };
        const Coded standard = measure(800, false, recwav::AdpcmSearch::standard, 3);
        const Coded best = measure(800, false, recwav::AdpcmSearch::best, 1);
        const Coded fixed = measure(800, true, recwav::AdpcmSearch::standard, 1);
        // The reference is slow: on the blocks of up to 1600 only when asked.
        const Coded wideBest = wide ? measure(1600, false, recwav::AdpcmSearch::best, 1) : Coded{};
        const Samples reference = referenceDecoded(samples, blockLengths(standard.bytes));
        const Samples wideReference = wide ? referenceDecoded(samples, blockLengths(wideBest.bytes)) : Samples{};
        const auto ratio = [&](const Samples& decoded) {
            return decoded.empty() ? NAN : snr(samples.data(), decoded.data(), samples.size());
        };
        const double r = ratio(reference);
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f |\n", name.c_str(),
                    ratio(standard.decoded), ratio(best.decoded), r, r - ratio(standard.decoded),
                    r - ratio(best.decoded), ratio(fixed.decoded), ratio(wideBest.decoded), ratio(wideReference),
                    1000 * standard.seconds / seconds, 1000 * best.seconds / seconds);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc >= 2 && (std::strcmp(argv[1], "--quality") == 0 || std::strcmp(argv[1], "--quality-wide") == 0)) {
        return quality(argc - 2, argv + 2, std::strcmp(argv[1], "--quality-wide") == 0);
    }
    if (argc == 3 && std::strcmp(argv[1], "--make-loud") == 0) {
        const std::string dir = argv[2];
        return writeWave(dir + "/click.wav", click()) && writeWave(dir + "/plucks.wav", plucks()) &&
                       writeWave(dir + "/drums.wav", drums())
                   ? 0
                   : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "--make") == 0) {
        const std::string dir = argv[2];
        return writeWave(dir + "/music.wav", music()) && writeWave(dir + "/sweep.wav", sweep()) &&
                       writeWave(dir + "/clicks.wav", clicks())
                   ? 0
                   : 1;
    }
    std::printf("%-10s %-30s %9s %9s %9s %9s %14s\n", "sound", "mode", "SNR dB", "vs base", "bytes", "vs base",
                "ms per s sound");
    std::vector<double> totalSeconds(std::size(modes), 0);
    double soundSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        const Samples samples = readWave(argv[i]);
        if (samples.empty()) {
            std::printf("no 16-bit samples in %s\n", argv[i]);
            return 1;
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        name = name.substr(0, name.rfind('.'));
        const double seconds = static_cast<double>(samples.size()) / rate;
        soundSeconds += seconds;
        double baseSnr = 0;
        double baseBytes = 0;
        for (std::size_t m = 0; m < std::size(modes); ++m) {
            const Coded coded = encode(samples, modes[m]);
            const double s = snr(samples.data(), coded.decoded.data(), samples.size());
            const auto bytes = static_cast<double>(coded.bytes.size());
            if (m == 0) {
                baseSnr = s;
                baseBytes = bytes;
            }
            totalSeconds[m] += coded.seconds;
            std::printf("%-10s %-30s %9.2f %+9.2f %9.0f %+8.2f%% %14.2f\n", name.c_str(), modes[m].name, s, s - baseSnr,
                        bytes, 100 * (bytes / baseBytes - 1), 1000 * coded.seconds / seconds);
        }
        std::printf("  on FFmpeg's blocks of %s:       SNR dB  ms per s sound\n", name.c_str());
        comparePeer(argv[i], samples);
        std::fflush(stdout);
    }
    std::printf("\nall %.1f s of sound, processor time:\n", soundSeconds);
    for (std::size_t m = 0; m < std::size(modes); ++m) {
        std::printf("  %-30s %8.2f ms per s of sound, %8.0fx real time\n", modes[m].name,
                    1000 * totalSeconds[m] / soundSeconds, soundSeconds / totalSeconds[m]);
    }
    return 0;
}
