#!/usr/bin/env bash
# Draws the application icon, a blue speech bubble with three white dots, and writes
# ostrel-chat.ico with eight 32-bit images from 128 down to 16 pixels. Needs ImageMagick.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drawing, on a 512-pixel canvas: the bubble's body, its tail at the lower left, a soft
# highlight along the top, and three dots.
convert -size 512x512 xc:none \
    -fill '#2F6FD8' -stroke none \
    -draw 'roundrectangle 36,56 476,392 96,96' \
    -draw 'polygon 118,350 84,486 250,372' \
    -fill '#4188FE' \
    -draw 'roundrectangle 52,64 460,376 84,84' \
    -draw 'polygon 132,344 106,454 236,364' \
    -fill '#6FA6FF' \
    -draw 'roundrectangle 92,84 420,150 34,34' \
    -fill white \
    -draw 'circle 160,228 160,264' \
    -draw 'circle 256,228 256,264' \
    -draw 'circle 352,228 352,264' \
    "$work/bubble.png"

images=()
for size in 128 96 64 48 40 32 24 16; do
    convert "$work/bubble.png" -filter Lanczos -resize "${size}x${size}" \
        "$work/bubble-$size.png"
    images+=("$work/bubble-$size.png")
done
convert "${images[@]}" "$here/ostrel-chat.ico"
identify "$here/ostrel-chat.ico"
