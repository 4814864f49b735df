#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the web page into build-web/site, ready to publish on any static host:
# installs what a Debian machine lacks (as root), the page's npm modules, then
# the project's C++ compiled to WebAssembly by Debian's emscripten.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v em++ >/dev/null || missing+=(emscripten)
[ -d /usr/share/nodejs/acorn ] || missing+=(node-acorn)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

(cd web && npm ci --no-audit --no-fund)
cmake --workflow --preset web
echo "the page is in $PWD/build-web/site, and as one file in $PWD/build-web/recwav.html"
