#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times recwav against the floors of what it does, on seeded recordings:
#   - a 100 MB A-law recording, against cp of a file the size of its WAV;
#   - a 50 MB ADPCM recording (blocks of 250 to 749 samples), against cp likewise;
#   - an 80 KB A-law recording (ten seconds of sound), against /bin/true;
# then prints the medians, the ratios and recwav's peak resident memory.
# Rounds alternate the commands, so that a slow spell of the machine falls on all.
#
# usage: bench/run.sh [RECWAV]   (without RECWAV: builds build-bench in Release)
# needs: cmake, a C++ compiler, hyperfine, GNU time (/usr/bin/time), python3
# settings: RECWAV_BENCH_ROUNDS (default 11), RECWAV_BENCH_DIR (default build-bench/work)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

for tool in hyperfine python3 cmake; do
    command -v "$tool" >/dev/null || { echo "bench/run.sh needs $tool (Debian: apt-get install $tool)"; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench/run.sh needs GNU time (Debian: apt-get install time)"; exit 1; }

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel 2 --target recwav make-recording >/dev/null
recwav="$(realpath "${1:-$build/recwav}")"
work="${RECWAV_BENCH_DIR:-$build/work}"
rounds="${RECWAV_BENCH_ROUNDS:-11}"
mkdir -p "$work"
cd "$work"

# Seeded, so every run and every machine measures the same bytes.
[ -f alaw-100M.rec ] || "$build/bench/make-recording" alaw 100000000 1 alaw-100M.rec
[ -f adpcm-50M.rec ] || "$build/bench/make-recording" adpcm 50000000 2 adpcm-50M.rec
[ -f alaw-80K.rec ] || "$build/bench/make-recording" alaw 80000 3 alaw-80K.rec

# One conversion each: the files for cp to copy, and a warm page cache.
for name in alaw-100M adpcm-50M alaw-80K; do
    "$recwav" "$name.rec" "$name.wav"
    cp "$name.wav" "$name-floor.wav"
done

rm -f round-*.json hyperfine.log
for ((round = 1; round <= rounds; round++)); do
    hyperfine --shell=none --runs 1 --style none --export-json "round-$round-large.json" 2>>hyperfine.log \
        -n "recwav A-law 100 MB" "$recwav alaw-100M.rec out.wav" \
        -n "cp of its 200 MB WAV" "cp alaw-100M-floor.wav copy.wav" \
        -n "recwav ADPCM 50 MB" "$recwav adpcm-50M.rec out.wav" \
        -n "cp of its WAV" "cp adpcm-50M-floor.wav copy.wav" >/dev/null
    hyperfine --shell=none --runs 20 --warmup 2 --style none --export-json "round-$round-small.json" 2>>hyperfine.log \
        -n "recwav A-law 80 KB" "$recwav alaw-80K.rec out.wav" \
        -n "/bin/true" "/bin/true" >/dev/null
done

peaks=()
for name in alaw-100M adpcm-50M alaw-80K; do
    peaks+=("$(/usr/bin/time -f %M "$recwav" "$name.rec" out.wav 2>&1 >/dev/null)")
done
rm -f out.wav copy.wav

python3 - "$rounds" "${peaks[@]}" <<'PY'
import glob, json, statistics, sys

rounds, peaks = sys.argv[1], [int(k) for k in sys.argv[2:]]
times = {}
for path in sorted(glob.glob("round-*.json")):
    for result in json.load(open(path))["results"]:
        times.setdefault(result["command"], []).extend(result["times"])
median = {name: statistics.median(values) for name, values in times.items()}

print(f"medians over {rounds} alternating rounds:")
for name, value in median.items():
    print(f"  {name:24s} {value * 1000:9.2f} ms  ({len(times[name])} runs)")
print("ratios (target):")
for label, a, b, target in [
    ("A-law 100 MB / cp", "recwav A-law 100 MB", "cp of its 200 MB WAV", 1.6),
    ("ADPCM 50 MB / cp", "recwav ADPCM 50 MB", "cp of its WAV", 3.0),
    ("A-law 80 KB / true", "recwav A-law 80 KB", "/bin/true", 2.0),
]:
    ratio = median[a] / median[b]
    print(f"  {label:24s} {ratio:9.2f}  (at most {target}){'' if ratio <= target else '  OVER'}")
print("peak resident memory of recwav (target: under 2048 KiB):")
for label, kib in zip(["A-law 100 MB", "ADPCM 50 MB", "A-law 80 KB"], peaks):
    print(f"  {label:24s} {kib:9d} KiB{'' if kib < 2048 else '  OVER'}")
PY
