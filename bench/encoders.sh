#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the ADPCM encoder's searches: SNR, file size and processor time per
# sound, beside the plain encoder (nearest codes, fixed blocks of 800), and
# beside FFmpeg's IMA ADPCM encoder (-trellis 0, 8 and 16) on the same blocks.
# The sounds, all at 8000 Hz: recorded human speech (the voice prompts of
# Debian's alsa-utils, one after another), three espeak-ng voices, and music,
# a sine sweep and clicks in silence made by the benchmark program itself.
#
# usage: bench/encoders.sh        (builds build-bench in Release)
# needs: cmake and a C++ compiler; sox, espeak-ng, alsa-utils and ffmpeg for
# the sounds and the comparison: as root, the missing ones are installed with
# apt-get, otherwise what needs them is left out, and the script says which.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

command -v cmake >/dev/null || { echo "bench/encoders.sh needs cmake (Debian: apt-get install cmake)"; exit 1; }
missing=()
for tool in sox espeak-ng ffmpeg; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -f /usr/share/sounds/alsa/Front_Center.wav ] || missing+=(alsa-utils)
if [ "${#missing[@]}" -gt 0 ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        >/dev/null || echo "could not install ${missing[*]}"
fi

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel 2 --target encoders-benchmark >/dev/null
benchmark="$build/bench/encoders-benchmark"
work="$build/encoders-work"
rm -rf "$work"
mkdir -p "$work"

sounds=()
if ! command -v sox >/dev/null; then
    echo "left out: recorded and synthesised speech (no sox)"
else
    voices=(/usr/share/sounds/alsa/{Front_Center,Front_Left,Front_Right,Rear_Center,Rear_Left,Rear_Right,Side_Left,Side_Right}.wav)
    if [ -f "${voices[0]}" ]; then
        sox -D "${voices[@]}" -r 8000 -c 1 -b 16 "$work/recorded.wav"  # no dither: the same samples every run
        sounds+=("$work/recorded.wav")
    else
        echo "left out: recorded speech (no alsa-utils)"
    fi
    speak() {  # NAME VOICE TEXT
        espeak-ng -v "$2" -w "$work/$1-raw.wav" "$3"
        sox -D "$work/$1-raw.wav" -r 8000 -c 1 -b 16 "$work/$1.wav"
        sounds+=("$work/$1.wav")
    }
    if command -v espeak-ng >/dev/null; then
        speak speech en "The quick brown fox jumps over the lazy dog. A record of the meeting was kept on the small \
machine, and played back later that evening. Please speak clearly after the tone, then press the button to stop."
        speak speech-de de+m3 "Der Zug nach Berlin fährt heute eine halbe Stunde später ab. Bitte rufen Sie mich \
morgen früh zurück, bevor die Sitzung beginnt."
        speak speech-fr fr+f2 "Le rendez-vous chez le médecin est avancé à jeudi matin. N'oublie pas d'acheter du \
pain, du lait et trois oranges en rentrant."
    else
        echo "left out: synthesised speech (no espeak-ng)"
    fi
fi
"$benchmark" --make "$work"
sounds+=("$work/music.wav" "$work/sweep.wav" "$work/clicks.wav")

if command -v ffmpeg >/dev/null; then
    echo "FFmpeg: $(ffmpeg -version | head -n 1)"
    TIMEFORMAT='%U %S'
    for sound in "${sounds[@]}"; do
        for trellis in 0 8 16; do
            peer="${sound%.wav}.trellis$trellis"
            { time ffmpeg -nostdin -loglevel error -y -i "$sound" -c:a adpcm_ima_wav -trellis "$trellis" "$peer.wav"; } \
                2>"$peer.times"
            awk 'END { print $1 + $2 }' "$peer.times" >"$peer.time"
        done
    done
else
    echo "left out: the comparison with FFmpeg (no ffmpeg)"
fi

"$benchmark" "${sounds[@]}"
