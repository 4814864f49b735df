#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the page's conversion of ten-minute recordings, A-law and ADPCM, in
# Chromium: builds the page if needed and the recording generator (build-bench,
# as bench/run.sh does), makes seeded recordings, then runs web/bench.mjs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

[ -f build-web/site/index.html ] || bash web/build.sh
[ -d web/node_modules/playwright-core ] || (cd web && npm ci --no-audit --no-fund)
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench --parallel 2 --target make-recording >/dev/null

work="${RECWAV_BENCH_DIR:-build-bench/work}"
mkdir -p "$work"
# Ten minutes at 8000 samples a second: 4 800 000 A-law bytes; ADPCM takes half
# a byte a sample plus a 6-byte header per block of 250 to 749 samples.
[ -f "$work/alaw-10min.rec" ] || build-bench/bench/make-recording alaw 4800000 1 "$work/alaw-10min.rec"
[ -f "$work/adpcm-10min.rec" ] || build-bench/bench/make-recording adpcm 2457600 2 "$work/adpcm-10min.rec"
node web/bench.mjs "$work/alaw-10min.rec" "$work/adpcm-10min.rec"
