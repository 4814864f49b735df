#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the cross-built Windows program under wine, headless, and holds it to
# the Linux program:
#   - both examples converted through plain names and through names that no
#     single code page holds (Aufnahme-ü-録音.rec into Ausgabe-ü-録音.wav), and
#     the output compared with the Linux program's byte for byte;
#   - a message that carries a name prints it (in UTF-8), with exit status 255,
#     for a missing input and for a folder given as the input;
#   - one file reached through two names is still refused as the output.
# Wine's prefix and the files are kept in a scratch folder beside the program.
#
# usage: cmake/check-windows.sh WINDOWS_PROGRAM LINUX_PROGRAM
# needs: wine (Debian: wine and wine64)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
windows="$(realpath "$1")"
linux="$(realpath "$2")"
scratch="$(dirname "$windows")/wine-check"

# A prefix of its own, made on the first run; no Mono or Gecko installer, no
# debug output; the arguments reach wine as UTF-8.
export WINEPREFIX="$scratch/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all LC_ALL=C.UTF-8
rm -rf "$scratch/work" && mkdir -p "$scratch/work"
cd "$scratch/work"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Runs the Windows program; leaves its standard output, without the CRs of
# Windows line ends, in $said and its exit status in $status.
run() {
    status=0
    wine "$windows" "$@" </dev/null >said.txt 2>/dev/null || status=$?
    said="$(tr -d '\r' <said.txt)"
    rm -f said.txt
}

for coding in alaw adpcm; do
    "$linux" "$root/examples/tune-$coding.rec" "linux-$coding.wav"
    for name in "tune-$coding" "Aufnahme-ü-録音-$coding"; do
        cp "$root/examples/tune-$coding.rec" "$name.rec"
        output="Ausgabe-${name#Aufnahme-}.wav"
        run "$name.rec" "$output"
        if [ "$status" -ne 0 ] || [ -n "$said" ]; then
            fail "$name.rec: exit status $status, said \"$said\""
        elif ! cmp -s "$output" "linux-$coding.wav"; then
            fail "$name.rec: $output differs from the Linux program's output"
        else
            echo "ok: $name.rec -> $output, $(stat -c %s "$output") bytes, as on Linux"
        fi
    done
done

# Runs the Windows program on INPUT OUTPUT and expects it to refuse, with
# MESSAGE, exit status 255 and no x.wav; WHAT names the case.
refused() {  # WHAT INPUT OUTPUT MESSAGE
    run "$2" "$3"
    if [ "$said" != "$4" ] || [ "$status" -ne 255 ] || [ -e x.wav ]; then
        fail "$1: exit status $status, said \"$said\""
        return 1
    fi
    echo "ok: $said (exit status $status)"
}

refused "missing input" "fehlt-ü-録音.rec" "x.wav" "Error: could not open input file fehlt-ü-録音.rec" || true
mkdir "Ordner-ü-録音.rec"
refused "folder as input" "Ordner-ü-録音.rec" "x.wav" "Error: could not open input file Ordner-ü-録音.rec" || true
if refused "input as output" "Aufnahme-ü-録音-alaw.rec" ".\\Aufnahme-ü-録音-alaw.rec" \
    "Error: could not open output file .\\Aufnahme-ü-録音-alaw.rec" &&
    ! cmp -s "Aufnahme-ü-録音-alaw.rec" "$root/examples/tune-alaw.rec"; then
    fail "input as output: the input changed"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "the Windows program under wine matches the Linux program"
