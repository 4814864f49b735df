#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times recscan on a 1 GiB FAT32 card image holding 100 recordings (twenty
# seconds each, half A-law, half ADPCM, seeded, in ten folders) and a free space full
# of an old file's noise, with and without --carve, against reading the image
# once with cat; then prints the medians and the ratios, with their goals.
#
# usage: bench/recscan-image.sh   (builds build-bench in Release)
# needs: cmake, a C++ compiler, libarchive-dev, libsndfile1-dev, libtsk-dev,
#        dosfstools, mtools, hyperfine
# settings: RECWAV_BENCH_RUNS (default 5), RECWAV_BENCH_DIR (default: in
#           /dev/shm where it has room, else build-bench/recscan-image-work)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

for tool in hyperfine cmake mkfs.fat mcopy mdel mmd; do
    command -v "$tool" >/dev/null || { echo "bench/recscan-image.sh needs $tool"; exit 1; }
done

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel 2 --target recscan make-recording >/dev/null
recscan="$build/recscan"
[ -x "$recscan" ] || { echo "recscan was not built: libarchive-dev, libsndfile1-dev and libtsk-dev are needed"; exit 1; }
runs="${RECWAV_BENCH_RUNS:-5}"
shm_free_kb="$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')"
if [ -z "${RECWAV_BENCH_DIR:-}" ] && [ -w /dev/shm ] && [ "${shm_free_kb:-0}" -gt 3000000 ]; then
    work="/dev/shm/recscan-image-bench-$(id -u)-$(printf '%s' "$root" | cksum | cut -d' ' -f1)"
else
    work="${RECWAV_BENCH_DIR:-$build/recscan-image-work}"
fi
echo "working in $work"
mkdir -p "$work"
cd "$work"
export MTOOLS_SKIP_CHECK=1

if [ ! -f card.done ]; then
    rm -f card.img
    mkfs.fat -C -F 32 card.img 1048576 >/dev/null
    # The free space holds what a deleted file left, not zeros.
    head -c 900M /dev/urandom >noise.bin
    mcopy -i card.img noise.bin ::/ && mdel -i card.img ::/noise.bin && rm noise.bin
    mkdir -p rec
    # Twenty seconds each: 160,000 A-law bytes, or 80,000 ADPCM bytes in blocks.
    for ((i = 0; i < 100; i++)); do
        if ((i % 2 == 0)); then
            "$build/bench/make-recording" alaw 160000 "$i" "rec/Memo$i.rec"
        else
            "$build/bench/make-recording" adpcm 80000 "$i" "rec/Memo$i.rec"
        fi
    done
    for ((f = 0; f < 10; f++)); do
        mmd -i card.img "::/Folder$f"
        for ((i = f * 10; i < f * 10 + 10; i++)); do
            mcopy -i card.img "rec/Memo$i.rec" "::/Folder$f/"
        done
    done
    rm -rf rec
    touch card.done
fi
echo "image: $(du -h --apparent-size card.img | cut -f1), $(mdir -/ -b -i card.img ::/ | grep -ci '\.rec$') recordings"

hyperfine --style basic --runs "$runs" --warmup 1 --export-json times.json --prepare 'rm -rf out' \
    -n cat 'cat card.img >/dev/null' \
    -n recscan "$recscan card.img out" \
    -n 'recscan --carve' "$recscan --carve card.img out"
rm -rf out

python3 - times.json <<'PY'
import json, statistics, sys
runs = {r["command"]: statistics.median(r["times"]) for r in json.load(open(sys.argv[1]))["results"]}
cat, plain, carve = runs["cat"], runs["recscan"], runs["recscan --carve"]
print(f"cat {cat:.3f} s, recscan {plain:.3f} s, recscan --carve {carve:.3f} s (medians)")
print(f"recscan --carve / cat: {carve / cat:.2f} (goal at most 3)")
print(f"recscan / cat: {plain / cat:.2f} (goal far below 1)")
PY
