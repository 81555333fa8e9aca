#!/usr/bin/env bash
# Draws the chat log's cost per line as an SVG line chart on standard output, from the CSV the
# chat log benchmark writes (line,append_ms,bare_ms: the median of each block of lines; the
# log's lines arrive in bursts, the reference's bare insertion is not painted).
#   scripts/chart-chat-log.sh chat-log.csv > chart.svg
set -euo pipefail
[ $# -eq 1 ] && [ -r "$1" ] || {
    echo "usage: scripts/chart-chat-log.sh FILE.csv" >&2
    exit 2
}

awk -F, '
NR == 1 { next }
NF >= 3 {
    n++; x[n] = $1; a[n] = $2; b[n] = $3
    if ($1 > xmax) xmax = $1
    if ($2 > ymax) ymax = $2
    if ($3 > ymax) ymax = $3
}
function px(v) { return left + v / xmax * width }
function py(v) { return top + height - v / ymax * height }
function series(values, colour, label, labelY,    i, path) {
    path = ""
    for (i = 1; i <= n; i++)
        path = path sprintf("%s%.1f,%.1f ", i == 1 ? "M" : "L", px(x[i]), py(values[i]))
    printf "<path d=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\"/>\n", path, colour
    printf "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"4\" fill=\"%s\"/>\n", left + 16, labelY - 4, colour
    printf "<text x=\"%d\" y=\"%d\">%s</text>\n", left + 36, labelY, label
}
END {
    if (n == 0) { print "chart-chat-log: no figures in the file" > "/dev/stderr"; exit 1 }
    left = 70; top = 40; width = 560; height = 260
    # Round the axes up to tidy steps.
    xstep = 2000; xmax = int((xmax + xstep - 1) / xstep) * xstep
    split("0.1 0.2 0.5 1 2 5 10 20 50 100 200 500", steps, " ")
    for (i = 1; i in steps; i++) { ystep = steps[i]; if (ymax / ystep <= 8) break }
    ymax = (int(ymax / ystep) + 1) * ystep

    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n", left + width + 20, top + height + 50
    printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
    printf "<text x=\"%d\" y=\"20\" font-size=\"14\">Chat log: milliseconds per line as the log grows (median of each 250 lines, under Wine)</text>\n", 10
    for (v = 0; v <= ymax + ystep / 2; v += ystep) {
        printf "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", left, left + width, py(v), py(v)
        printf "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n", left - 6, py(v) + 4, v
    }
    for (v = 0; v <= xmax; v += xstep)
        printf "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%d</text>\n", px(v), top + height + 18, v
    printf "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">lines in the log</text>\n", left + width / 2, top + height + 40
    printf "<line x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", left, left + width, top + height, top + height
    printf "<line x1=\"%d\" x2=\"%d\" y1=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", left, left, top, top + height
    series(a, "#c0392b", "AppendChatLine in bursts (insert, colour, scroll, painted every 50 ms)", top + 16)
    series(b, "#2471a3", "bare rich edit insertion, not painted", top + 34)
    print "</svg>"
}' "$1"
