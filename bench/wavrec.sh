#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times wavrec end to end on an hour of 44.1 kHz stereo speech: reading,
# mixing down, resampling with libsoxr and coding, in both codings, with its
# peak memory. The hour is espeak-ng speech repeated by sox.
#
# usage: bench/wavrec.sh [WAVREC]   (without WAVREC: builds build-bench in Release)
# needs: cmake, a C++ compiler, libsndfile1-dev, libsoxr-dev, espeak-ng, sox, GNU time
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

for tool in cmake espeak-ng sox; do
    command -v "$tool" >/dev/null || { echo "bench/wavrec.sh needs $tool (Debian: apt-get install $tool)"; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench/wavrec.sh needs GNU time (Debian: apt-get install time)"; exit 1; }

build="$root/build-bench"
if [ $# -eq 0 ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
    cmake --build "$build" --parallel 2 --target wavrec >/dev/null
fi
wavrec="$(realpath "${1:-$build/wavrec}")"
work="$build/wavrec-work"
mkdir -p "$work"
cd "$work"

if [ ! -f hour.wav ]; then
    espeak-ng -w minute-raw.wav "$(printf 'The quick brown fox jumps over the lazy dog. %.0s' $(seq 1 20))"
    sox -D minute-raw.wav -r 44100 -c 2 -b 16 piece.wav
    seconds="$(soxi -D piece.wav)"
    sox piece.wav hour.wav repeat "$(python3 -c "import math; print(math.ceil(3600 / $seconds) - 1)")" trim 0 3600
fi
echo "input: $(soxi -d hour.wav), $(soxi -r hour.wav) Hz, $(soxi -c hour.wav) channels"
for coding in adpcm alaw; do
    /usr/bin/time -f "$coding: %e s elapsed, %U s user, %M KiB peak" "$wavrec" -c "$coding" hour.wav "hour-$coding.rec"
done
rm -f hour-*.rec
