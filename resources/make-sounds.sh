#!/usr/bin/env bash
# Makes the two notification sounds from synthesized tones:
#   snd_newmessage.mp3  a soft two-note chime, falling a major third (E6, C6)
#   snd_newuser.mp3     a brighter rising arpeggio (C6, E6, G6, C7)
# Each is mono, under half a second and a few kilobytes. Needs sox and lame.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out="$here/sounds"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

rate=44100

# note NAME FREQUENCY LENGTH VOLUME: a sine tone with a soft start and a long parabolic decay,
# plus a quiet overtone an octave up for a little shine.
note() {
    local overtone
    overtone=$(awk "BEGIN { print $2 * 2 }")
    sox -n -r $rate -c 1 "$work/$1-base.wav" synth "$3" sine "$2" fade p 0.004 "$3" "$3"
    sox -n -r $rate -c 1 "$work/$1-over.wav" synth "$3" sine "$overtone" \
        fade p 0.002 "$3" "$3" vol 0.18
    sox -m "$work/$1-base.wav" "$work/$1-over.wav" "$work/$1.wav" vol "$4"
}

# pad NAME SECONDS: delays a note so that notes can overlap when mixed.
pad() {
    sox "$work/$1.wav" "$work/$1-at.wav" pad "$2" 0
}

# The new-message chime: two notes, the second starting while the first rings out.
note e6 1318.51 0.24 0.55
note c6 1046.50 0.26 0.55
pad c6 0.11
sox -m "$work/e6.wav" "$work/c6-at.wav" "$work/newmessage.wav" gain -n -3

# The new-user arpeggio: four quick rising notes.
note u1 1046.50 0.14 0.5
note u2 1318.51 0.14 0.5
note u3 1567.98 0.15 0.5
note u4 2093.00 0.20 0.5
pad u2 0.06
pad u3 0.12
pad u4 0.18
sox -m "$work/u1.wav" "$work/u2-at.wav" "$work/u3-at.wav" "$work/u4-at.wav" "$work/newuser.wav" \
    gain -n -2

for name in newmessage newuser; do
    lame --quiet -m m -b 64 "$work/$name.wav" "$out/snd_$name.mp3"
done
ls -l "$out"
