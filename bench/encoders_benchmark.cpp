// SPDX-License-Identifier: MIT
// Measures the ADPCM encoder on a fixed set of sounds at 8000 Hz: its
// signal-to-noise ratio and file size beside a plain encoder (nearest code,
// blocks of 800), and its speed.
//   encoders-benchmark [SPEECH.wav...]
// SPEECH.wav: 16-bit mono PCM at 8000 Hz, named in the table by its file name
// (bench/encoders.sh makes two with espeak-ng); the other sounds are made here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

#include <recwav/encoders.hpp>
#include <recwav/endian.hpp>

namespace {

using Samples = std::vector<std::int16_t>;
constexpr double rate = 8000;

struct Sound {
    std::string name;
    Samples samples;
};

std::int16_t toSample(double value) {
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

// The samples of a plain 16-bit mono WAVE file; empty if it is not one.
Samples readWave(const char* path) {
    Samples samples;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return samples;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::fclose(file);
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t size = recwav::loadLe32(&bytes[at + 4]);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const std::size_t end = std::min(bytes.size(), at + 8 + size);
            for (std::size_t i = at + 8; i + 1 < end; i += 2) {
                samples.push_back(static_cast<std::int16_t>(recwav::loadLe16(&bytes[i])));
            }
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
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

struct Coded {
    std::vector<std::uint8_t> bytes;
    Samples decoded;
};

Coded encode(const Samples& samples, const recwav::AdpcmSettings& settings) {
    recwav::AdpcmEncoder encoder;
    encoder.settings = settings;
    Coded coded;
    // In chunks of 4000, as wavrec hands them over.
    for (std::size_t at = 0; at < samples.size(); at += 4000) {
        recwav::encodeAdpcm(encoder, samples.data() + at, std::min<std::size_t>(4000, samples.size() - at), coded.bytes,
                            &coded.decoded);
    }
    recwav::finishAdpcm(encoder, coded.bytes, &coded.decoded);
    return coded;
}

double snr(const Samples& original, const Samples& decoded) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        const double error = static_cast<double>(original[i]) - decoded[i];
        signal += static_cast<double>(original[i]) * original[i];
        noise += error * error;
    }
    return noise == 0 ? INFINITY : 10 * std::log10(signal / noise);
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<Sound> sounds;
    for (int i = 1; i < argc; ++i) {
        Samples speech = readWave(argv[i]);
        if (speech.empty()) {
            std::printf("no 16-bit samples in %s\n", argv[i]);
            return 1;
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        sounds.push_back({name.substr(0, name.rfind('.')), std::move(speech)});
    }
    sounds.push_back({"music", music()});
    sounds.push_back({"sweep", sweep()});
    sounds.push_back({"clicks", clicks()});

    struct Mode {
        const char* name;
        recwav::AdpcmSettings settings;
    };
    const Mode modes[] = {
        {"greedy fixed 800 (baseline)", {800, true, true}},
        {"greedy, chosen ends", {800, false, true}},
        {"search, fixed 800", {800, true, false}},
        {"default (search, chosen ends)", {800, false, false}},
    };
    std::printf("%-10s %-30s %9s %9s %9s %9s\n", "sound", "mode", "SNR dB", "vs base", "bytes", "vs base");
    for (const Sound& sound : sounds) {
        double baseSnr = 0;
        double baseBytes = 0;
        for (const Mode& mode : modes) {
            const Coded coded = encode(sound.samples, mode.settings);
            const double s = snr(sound.samples, coded.decoded);
            const auto bytes = static_cast<double>(coded.bytes.size());
            if (&mode == &modes[0]) {
                baseSnr = s;
                baseBytes = bytes;
            }
            std::printf("%-10s %-30s %9.2f %+9.2f %9.0f %+8.2f%%\n", sound.name.c_str(), mode.name, s, s - baseSnr,
                        bytes, 100 * (bytes / baseBytes - 1));
        }
    }

    // Speed of the default mode, best of five rounds, in processor time:
    // other work on a shared machine slows the clock's time.
    std::size_t total = 0;
    double totalSeconds = 0;
    for (const Sound& sound : sounds) {
        double best = INFINITY;
        for (int round = 0; round < 5; ++round) {
            const std::clock_t start = std::clock();
            recwav::AdpcmEncoder encoder;
            std::vector<std::uint8_t> out;
            recwav::encodeAdpcm(encoder, sound.samples.data(), sound.samples.size(), out);
            recwav::finishAdpcm(encoder, out);
            best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
            if (out.empty()) {
                return 1;
            }
        }
        std::printf("default mode, %-10s %6.2f M samples/s\n", sound.name.c_str(),
                    static_cast<double>(sound.samples.size()) / best / 1e6);
        total += sound.samples.size();
        totalSeconds += best;
    }
    std::printf(
        "default mode, all sounds: %.2f M samples/s of processor time (%zu samples in %.1f ms), "
        "%.0fx real time at 8000 Hz\n",
        static_cast<double>(total) / totalSeconds / 1e6, total, totalSeconds * 1000,
        static_cast<double>(total) / totalSeconds / rate);
    return 0;
}
