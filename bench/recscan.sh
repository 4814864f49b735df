#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times recscan on a folder of 10,000 short recordings (3 s each, half A-law,
# half ADPCM, seeded) against recwav run once a file by find, one at a time
# and two at a time through xargs, and on a .tar and a .tar.gz of the same
# folder; then prints the medians and the ratios, with their goals.
#
# The files live in /dev/shm where it has room (else in build-bench): on a
# disk, the file system's own work on 10,000 new files (and on deleting them
# between runs) can swamp what is measured, and differently from run to run.
#
# usage: bench/recscan.sh   (builds build-bench in Release)
# needs: cmake, a C++ compiler, libarchive-dev, libsndfile1-dev, hyperfine, tar, python3
# settings: RECWAV_BENCH_FILES (default 10000), RECWAV_BENCH_RUNS (default 3),
#           RECWAV_BENCH_DIR (default build-bench/recscan-work)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

for tool in hyperfine python3 cmake tar; do
    command -v "$tool" >/dev/null || { echo "bench/recscan.sh needs $tool (Debian: apt-get install $tool)"; exit 1; }
done

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel 2 --target recwav recscan make-recording >/dev/null
recwav="$build/recwav"
recscan="$build/recscan"
[ -x "$recscan" ] || { echo "recscan was not built: libarchive-dev and libsndfile1-dev are needed"; exit 1; }
files="${RECWAV_BENCH_FILES:-10000}"
runs="${RECWAV_BENCH_RUNS:-3}"
shm_free_kb="$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')"
if [ -z "${RECWAV_BENCH_DIR:-}" ] && [ -w /dev/shm ] && [ "${shm_free_kb:-0}" -gt 4000000 ]; then
    # One folder for each user and checkout: never another's files.
    work="/dev/shm/recscan-bench-$(id -u)-$(printf '%s' "$root" | cksum | cut -d' ' -f1)"
else
    work="${RECWAV_BENCH_DIR:-$build/recscan-work}"
fi
echo "working in $work"
mkdir -p "$work"
cd "$work"

# Three seconds of sound each: 24,000 A-law bytes, or 12,000 ADPCM bytes in blocks.
if [ ! -f "rec/$files.done" ] || [ ! -f rec.tar ]; then
    rm -rf rec && mkdir -p rec
    for ((i = 0; i < files; i++)); do
        folder="rec/$((i / 500))"
        mkdir -p "$folder"
        if ((i % 2 == 0)); then
            "$build/bench/make-recording" alaw 24000 "$i" "$folder/Memo$i.rec"
        else
            "$build/bench/make-recording" adpcm 12000 "$i" "$folder/Memo$i"
        fi
    done
    tar -cf rec.tar -C rec .
    gzip -k rec.tar
    touch "rec/$files.done"
fi
echo "sources: $(find rec -type f -name 'Memo*' | wc -l) recordings, $(du -sh rec | cut -f1); rec.tar.gz $(du -h rec.tar.gz | cut -f1)"

# Every command starts with no output, and recwav's outputs beside the recordings gone.
clean="find rec -name '*.wav' -delete; rm -rf out"
hyperfine --runs "$runs" --prepare "$clean" --export-json timings.json --style basic \
    -n "recscan folder" "$recscan rec out >/dev/null 2>&1" \
    -n "recscan tar" "$recscan rec.tar out >/dev/null 2>&1" \
    -n "recscan tar.gz" "$recscan rec.tar.gz out >/dev/null 2>&1" \
    -n "find -exec recwav" "find rec -type f -name 'Memo*' -exec $recwav {} {}.wav \\;" \
    -n "find | xargs -P 2 recwav" "find rec -type f -name 'Memo*' -print0 | xargs -0 -P 2 -I{} $recwav {} {}.wav"
eval "$clean"

# A check that the measured runs converted every file.
"$recscan" rec out >/dev/null 2>&1 || true
echo "recscan wrote $(find out -name '*.wav' | wc -l) WAV files"
rm -rf out

python3 - <<'PY'
import json, statistics

results = {r["command"]: r["times"] for r in json.load(open("timings.json"))["results"]}
median = {name: statistics.median(times) for name, times in results.items()}
print("medians:")
for name, value in median.items():
    print(f"  {name:26s} {value:8.2f} s  ({len(results[name])} runs)")
print("ratios (goal):")
for label, slow, fast, goal in [
    ("find -exec / recscan", "find -exec recwav", "recscan folder", 5.0),
    ("xargs -P 2 / recscan", "find | xargs -P 2 recwav", "recscan folder", 2.0),
    ("folder / tar", "recscan folder", "recscan tar", 1.0),
    ("folder / tar.gz", "recscan folder", "recscan tar.gz", 1.0),
]:
    ratio = median[slow] / median[fast]
    print(f"  {label:26s} {ratio:8.2f}  (at least {goal}){'' if ratio >= goal else '  UNDER'}")
PY
echo "the recordings stay in $work for the next run (about 1 GB; remove it to free the room)"
