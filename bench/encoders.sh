#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the ADPCM encoder: SNR and file size per sound beside the plain
# encoder (nearest codes, fixed blocks of 800), and the default mode's speed.
# The speech is synthesised by espeak-ng and brought to 8000 Hz mono by sox;
# music, a sine sweep and clicks in silence are made by the program itself.
#
# usage: bench/encoders.sh        (builds build-bench in Release)
# needs: cmake, a C++ compiler, espeak-ng, sox (Debian: apt-get install espeak-ng sox)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

for tool in cmake espeak-ng sox; do
    command -v "$tool" >/dev/null || { echo "bench/encoders.sh needs $tool (Debian: apt-get install $tool)"; exit 1; }
done

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel 2 --target encoders-benchmark >/dev/null
work="$build/encoders-work"
mkdir -p "$work"

speak() {  # NAME VOICE TEXT
    espeak-ng -v "$2" -w "$work/$1-raw.wav" "$3"
    sox -D "$work/$1-raw.wav" -r 8000 -c 1 -b 16 "$work/$1.wav"  # no dither: the same samples every run
}
speak speech en "The quick brown fox jumps over the lazy dog. A record of the meeting was kept on the small \
machine, and played back later that evening. Please speak clearly after the tone, then press the button to stop."
speak speech-f en-us+f3 "Seven thousand and forty two. Remember to buy bread, milk and three oranges on the way \
home, and call the office before nine o'clock tomorrow morning."

"$build/bench/encoders-benchmark" "$work/speech.wav" "$work/speech-f.wav"
