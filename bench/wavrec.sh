#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times wavrec end to end on an hour of 44.1 kHz stereo speech: reading,
# mixing down, resampling with libsoxr and coding, in both codings, with its
# peak memory; then the share of the read-back check in wavrec's work, counted
# in instructions by callgrind on a minute of the same sound (where valgrind is
# installed). The hour is espeak-ng speech repeated by sox.
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

# The check reads the whole file back and decodes it: its share of the
# instructions, which do not move with the machine's load as seconds do.
if command -v valgrind >/dev/null && command -v callgrind_annotate >/dev/null; then
    sox hour.wav minute.wav trim 0 60
    for coding in adpcm alaw; do
        valgrind -q --tool=callgrind --callgrind-out-file=check.out "$wavrec" -c "$coding" minute.wav minute.rec
        callgrind_annotate --inclusive=yes --threshold=100 check.out >check.txt
        total="$(awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }' check.txt)"
        check="$(awk '/checkRecordFile/ { gsub(",", "", $1); print $1; exit }' check.txt)"
        echo "$coding: the read-back check is $check of $total instructions ($(python3 -c "print(f'{100 * $check / $total:.1f}')") %)"
    done
    rm -f minute.wav minute.rec check.out check.txt
else
    echo "valgrind is not installed: the read-back check's share is not counted (Debian: apt-get install valgrind)"
fi
rm -f hour-*.rec
