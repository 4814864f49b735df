#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb as a packager would and checks it, without installing it:
#   1. a shared, hardened Release build in build-package (RECWAV_STATIC=OFF,
#      no tests), and cpack -G DEB there;
#   2. lintian on the package: any error or warning fails;
#   3. the package's fields and files (dpkg-deb), its programs unpacked into a
#      scratch folder (dpkg -x) and checked with hardening-check, recwav run on both
#      examples; with REFERENCE, another recwav (the static build, say), the
#      outputs must equal that program's byte for byte.
#
# The package names its maintainer: RECWAV_PACKAGE_MAINTAINER ('Name <address>')
# or Debian's DEBFULLNAME and DEBEMAIL, as for dch; with neither, a name under
# .invalid, the domain reserved for names that reach no one (RFC 2606), for a
# package that is checked and not published.
#
# usage: cmake/check-package.sh [REFERENCE]
# needs: cmake, g++, dpkg-dev (dpkg-shlibdeps), lintian, devscripts (hardening-check)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
reference="${1:+$(realpath "$1")}"
build="$root/build-package"
maintainer="${RECWAV_PACKAGE_MAINTAINER:-}"
if [ -z "$maintainer" ] && [ -n "${DEBFULLNAME:-}" ] && [ -n "${DEBEMAIL:-}" ]; then
    maintainer="$DEBFULLNAME <$DEBEMAIL>"
fi
maintainer="${maintainer:-recwav package check <unpublished@recwav.invalid>}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DRECWAV_STATIC=OFF -DBUILD_TESTING=OFF \
    "-DRECWAV_PACKAGE_MAINTAINER=$maintainer" >/dev/null
cmake --build "$build" --parallel 2 >/dev/null
rm -f "$build"/recwav_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/recwav_*.deb)"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "lintian $(basename "$deb"):"
lintian --fail-on error,warning --display-info "$deb"

unpacked="$build/unpacked"
rm -rf "$unpacked" && mkdir -p "$unpacked/out"
dpkg -x "$deb" "$unpacked"
program="$unpacked/usr/bin/recwav"
# Control-flow protection (-fcf-protection) is not among the flags Debian 12
# builds its packages with, so it is not asked of this one either.
hardening-check --nocfprotection "$unpacked"/usr/bin/*
# Each companion program comes with its bash completion.
for companion in wavrec recscan; do
    if [ -e "$unpacked/usr/bin/$companion" ]; then
        test -f "$unpacked/usr/share/bash-completion/completions/$companion"
    fi
done
for coding in alaw adpcm; do
    output="$unpacked/out/tune-$coding.wav"
    "$program" "$root/examples/tune-$coding.rec" "$output"
    test "$(stat -c %s "$output")" -eq $((44 + 2 * 25600))
    if [ -n "$reference" ]; then
        "$reference" "$root/examples/tune-$coding.rec" "$unpacked/out/reference.wav"
        cmp "$output" "$unpacked/out/reference.wav"
    fi
done
echo "package checked: $deb"
