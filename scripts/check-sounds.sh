#!/usr/bin/env bash
# Checks the notification sounds: each decodes, lasts 0.3 to 0.5 seconds, is not silent and
# stays under 20 KB.
set -uo pipefail
status=0
for file in "$@"; do
    name=$(basename "$file")
    if ! stats=$(sox "$file" -n stat 2>&1); then
        echo "$name: does not decode: $stats"
        status=1
        continue
    fi
    length=$(soxi -D "$file")
    peak=$(echo "$stats" | awk -F: '/Maximum amplitude/ { gsub(/ /, "", $2); print $2 }')
    size=$(stat -c %s "$file")
    echo "$name: ${length} s, peak $peak, $size bytes"
    awk -v l="$length" 'BEGIN { exit !(l >= 0.3 && l < 0.5) }' || { echo "$name: length out of range"; status=1; }
    awk -v p="$peak" 'BEGIN { exit !(p > 0.1) }' || { echo "$name: too quiet"; status=1; }
    [ "$size" -lt 20480 ] || { echo "$name: larger than 20 KB"; status=1; }
done
exit $status
