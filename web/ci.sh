#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The page's checks for continuous integration, from a fresh clone as root:
# installs what the machine lacks, builds the page, builds recwav if RECWAV does
# not name one, then runs the browser tests in Debian's Chromium, headless.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v chromium >/dev/null || missing+=(chromium)
command -v g++ >/dev/null || missing+=(g++)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

bash web/build.sh

# The program whose output the page must match byte for byte.
recwav="${RECWAV:-}"
if [ -z "$recwav" ]; then
    cmake -S . -B build-web-cli -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build-web-cli --parallel 2 --target recwav
    recwav="$PWD/build-web-cli/recwav"
fi

cd web
RECWAV="$(realpath "$recwav")" node --test test/page.test.mjs
