#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The page's checks for continuous integration, from a fresh clone as root:
# installs what the machine lacks, builds the page and the programs it is
# compared with, then runs the browser tests in Debian's Chromium, headless.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v chromium >/dev/null || missing+=(chromium)
command -v g++ >/dev/null || missing+=(g++)
# wavrec's and recscan's libraries, without which CMake leaves them out.
[ -e /usr/include/sndfile.h ] || missing+=(libsndfile1-dev)
[ -e /usr/include/soxr.h ] || missing+=(libsoxr-dev)
[ -e /usr/include/archive.h ] || missing+=(libarchive-dev)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

bash web/build.sh

# The programs whose output the page must match byte for byte: recwav's WAV
# files, wavrec's Record files and recscan's WAV of a Series 3 sound. Those
# RECWAV, WAVREC and RECSCAN do not name are built here.
targets=()
[ -n "${RECWAV:-}" ] || targets+=(recwav)
[ -n "${WAVREC:-}" ] || targets+=(wavrec)
[ -n "${RECSCAN:-}" ] || targets+=(recscan)
if [ "${#targets[@]}" -gt 0 ]; then
    cmake -S . -B build-web-cli -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build-web-cli --parallel 2 --target "${targets[@]}"
fi
recwav="${RECWAV:-$PWD/build-web-cli/recwav}"
wavrec="${WAVREC:-$PWD/build-web-cli/wavrec}"
recscan="${RECSCAN:-$PWD/build-web-cli/recscan}"

cd web
RECWAV="$(realpath "$recwav")" WAVREC="$(realpath "$wavrec")" RECSCAN="$(realpath "$recscan")" \
    node --test test/page.test.mjs
