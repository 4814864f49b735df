#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Issue 28's table: the default and best ADPCM searches beside the reference
# search (bench/adpcm_reference.cpp) on the blocks they chose, on loud,
# clipped, quiet and sudden sounds, all 8000 Hz mono: real speech (alsa-utils'
# voices), the same clipped (+18 dB), at -40 dBFS and in pink noise, three
# espeak-ng voices, and the benchmark's own click, plucks and drums.
#
# usage: bench/encoders-loud.sh [ENCODERS-BENCHMARK]   (without it: builds build-bench in Release)
# needs: cmake, a C++ compiler, sox, espeak-ng, alsa-utils. Takes some 20 minutes:
# the reference search is slow.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
if [ $# -eq 0 ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
    cmake --build "$build" --parallel 2 --target encoders-benchmark >/dev/null
fi
benchmark="$(realpath "${1:-$build/bench/encoders-benchmark}")"
work="$build/encoders-loud"
mkdir -p "$work"
cd "$work"
voices=(/usr/share/sounds/alsa/{Front_Center,Front_Left,Front_Right,Rear_Center,Rear_Left,Rear_Right,Side_Left,Side_Right}.wav)
sox -D "${voices[@]}" -r 8000 -c 1 -b 16 recorded.wav
sox -D recorded.wav clipped.wav vol 8 2>/dev/null  # clips, on purpose
sox -D recorded.wav quiet.wav gain -n -40
sox -R -D -n -r 8000 -c 1 -b 16 pink.wav synth "$(soxi -D recorded.wav)" pinknoise vol 0.08
sox -D -m recorded.wav pink.wav speechnoise.wav
speak() {  # LANGUAGE TEXT
    espeak-ng -v "$1" -w "$1-raw.wav" "$2"
    sox -D "$1-raw.wav" -r 8000 -c 1 -b 16 "speech-$1.wav"
}
speak es "El tren para Madrid sale hoy media hora más tarde. Por favor, llámame mañana antes de la reunión."
speak it "Il treno per Roma parte oggi con mezz ora di ritardo. Richiamami domani mattina prima della riunione."
speak pl "Pociąg do Warszawy odjeżdża dziś pół godziny później. Zadzwoń do mnie jutro rano przed spotkaniem."
"$benchmark" --make-loud .
"$benchmark" --quality quiet.wav clipped.wav plucks.wav drums.wav speechnoise.wav recorded.wav speech-es.wav \
    speech-it.wav speech-pl.wav
"$benchmark" --quality-wide click.wav
