#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times wavrec's ADPCM side by side with other builds, paired: each input
# coded by every build in turn, three rounds. Inputs, 44.1 kHz stereo: 10 min
# of white noise, 10 min of speech (alsa-utils' voices repeated) and 10 min of
# music (sox's plucked chords), and a 3-minute song of the same for --best.
#
# usage: bench/wavrec-jobs.sh NAME=WAVREC...   e.g. prev=/tmp/prev/build/wavrec now=build-bench/wavrec
# needs: sox, alsa-utils, GNU time
set -euo pipefail
work="${TMPDIR:-/tmp}/wavrec-jobs-$(id -u)"
mkdir -p "$work"
builds=("$@")
cd "$work"
if [ ! -f song.wav ]; then
    sox -R -n -r 44100 -c 2 -b 16 noise.wav synth 600 whitenoise vol 0.5
    voices=(/usr/share/sounds/alsa/{Front_Center,Front_Left,Front_Right,Rear_Center,Rear_Left,Rear_Right,Side_Left,Side_Right}.wav)
    sox -D "${voices[@]}" -r 44100 -c 2 -b 16 piece.wav
    sox piece.wav speech.wav repeat 60 trim 0 600
    i=0
    for chord in "C3 E3 G3" "A2 C3 E3" "F2 A2 C3" "G2 B2 D3" "C3 E3 G3" "E2 G2 B2" "F2 A2 C3" "G2 B2 D3"; do
        set -- $chord
        sox -R -n -r 44100 -c 2 -b 16 "c$i.wav" synth 0.5 pluck "$1" pluck "$2" pluck "$3" pluck "${1%?}5" \
            remix 1,2,3,4 1,2,3,4 vol 0.4
        i=$((i + 1))
    done
    sox c0.wav c1.wav c2.wav c3.wav c4.wav c5.wav c6.wav c7.wav loop.wav
    sox loop.wav song.wav repeat 45 trim 0 180
    sox loop.wav music.wav repeat 150 trim 0 600
fi
for round in 1 2 3; do
    for input in noise speech music; do
        for build in "${builds[@]}"; do
            /usr/bin/time -f "$round $input ${build%%=*} %e s elapsed, %U s user" "${build#*=}" -c adpcm "$input.wav" out.rec
        done
    done
    for build in "${builds[@]}"; do
        /usr/bin/time -f "$round song --best ${build%%=*} %e s elapsed, %U s user" "${build#*=}" -c adpcm --best song.wav out.rec ||
            echo "$round song --best ${build%%=*}: not an option of this build"
    done
done
