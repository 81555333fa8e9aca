#!/usr/bin/env bash
# Runs every benchmark of Ostrel Chat and keeps what they print in build/bench/:
#   packets (build and parse against memcpy), the client's frame loop (against plain recv loops),
#   the server's ban list (100,000 bans: a newcomer checked, a ban, an unban and an expiry, the
#   listing and the file, against the list as it was, in the same run),
#   the chat server (throughput and latency against bare sockets; under attack, with slow readers
#   and with 10,000 members, against a bare loop of sends; 10,000 members over TLS against plain;
#   with its metrics endpoint scraped every second against without, in interleaved pairs; 5,000
#   members on two servers through a redis-server of its own against one server alone; a storm
#   of 1,000 TLS handshakes against the server from before they left the room's thread),
#   the chat log under Wine (AppendChatLine in bursts against the bare rich edit insertion painted
#   per line, as the log grows to 10,000 lines), and a burst of 2,000 lines through the real
#   programs under Wine, plain and (burst-tls) over TLS against plain.
# It also draws build/bench/chat-log-cost.svg, the chat log's cost per line.
#
#   scripts/bench.sh [--update-docs]              everything
#   scripts/bench.sh [--update-docs] NAME...      only the named ones: packet frame ban-list
#                                                 server server-load server-metrics storm
#                                                 chat-log burst burst-tls
#
# storm builds the server of an earlier commit (OSTREL_BENCH_OLD_REF, by default the one before
# TLS handshakes left the room's thread) from git into build/bench/old-server, and measures both
# in turn.
#
# --update-docs also copies the chart to docs/chat-log-cost.svg; otherwise everything goes to
# build/bench/. Benchmarks measure, they do not judge: the figures go into docs/performance.md by
# hand. Run them on an otherwise idle machine.
set -euo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"

update_docs=no
if [ "${1:-}" = --update-docs ]; then
    update_docs=yes
    shift
fi
wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=(packet frame ban-list server server-load server-metrics storm chat-log burst burst-tls)
for name in "${wanted[@]}"; do
    case "$name" in
    packet | frame | ban-list | server | server-load | server-metrics | storm | chat-log | burst | burst-tls) ;;
    *)
        echo "usage: scripts/bench.sh [--update-docs] [packet] [frame] [ban-list] [server] [server-load] [server-metrics] [storm] [chat-log] [burst] [burst-tls]" >&2
        exit 2
        ;;
    esac
done
wants() { [[ " ${wanted[*]} " == *" $1 "* ]]; }

scripts/install-deps.sh >/dev/null
out=build/bench
mkdir -p "$out"

source scripts/wine-env.sh
source scripts/display-env.sh
run_dir=""
cleanup() {
    ostrel_wine_server_stop
    ostrel_display_stop
    if [ -n "$run_dir" ]; then rm -rf "$run_dir"; fi
}
trap cleanup EXIT

if wants packet || wants frame || wants ban-list || wants server || wants server-load ||
    wants server-metrics || wants storm; then
    cmake --preset native >/dev/null
    cmake --build --preset native --target packet_benchmark frame_benchmark ban_list_benchmark \
        server_benchmark server_load_benchmark
fi
for name in packet frame ban-list server server-load; do
    wants "$name" || continue
    echo "==> $name benchmark"
    "build/native/bench/${name//-/_}_benchmark" | tee "$out/$name.txt"
done
if wants server-metrics; then
    echo "==> server with its metrics endpoint scraped every second, against without (a few minutes)"
    build/native/bench/server_benchmark --metrics 6 --lines 1500 --rate 30000 |
        tee "$out/server-metrics.txt"
fi

if wants storm; then
    old_ref=${OSTREL_BENCH_OLD_REF:-3c9bcf4}
    old=build/bench/old-server
    echo "==> the server of $old_ref, built into $old"
    rm -rf "$old/src"
    mkdir -p "$old/src"
    git archive "$old_ref" | tar -x -C "$old/src"
    cmake -S "$old/src" -B "$old/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$old/build" --target ostrel-server
    echo "==> handshake storm, the server of $old_ref and this one in turn (about two minutes)"
    build/native/bench/server_load_benchmark --only storm --old-server "$old/build/ostrel-server" |
        tee "$out/storm.txt"
fi

if wants chat-log; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target chat_log_benchmark
    # Wide enough for the main window and the reference's window side by side.
    OSTREL_SCREEN=2500x1000x24 ostrel_display_start
    # The benchmark writes a settings file where it runs; keep that out of the tree.
    run_dir=$(mktemp -d)
    cp build/windows/bench/chat_log_benchmark.exe "$run_dir/"
    echo "==> chat log benchmark (under Wine; a few minutes)"
    (cd "$run_dir" && "$ostrel_root/scripts/wine-run" chat_log_benchmark.exe --csv chat-log.csv) |
        tr -d '\r' | tee "$out/chat-log.txt"
    echo "==> chat log over 50,000 lines (under Wine; about three minutes)"
    (cd "$run_dir" && "$ostrel_root/scripts/wine-run" chat_log_benchmark.exe --long) |
        tr -d '\r' | tee "$out/chat-log-long.txt"
    tr -d '\r' <"$run_dir/chat-log.csv" >"$out/chat-log.csv"
    scripts/chart-chat-log.sh "$out/chat-log.csv" >"$out/chat-log-cost.svg"
    echo "chart: $out/chat-log-cost.svg"
    if [ "$update_docs" = yes ]; then
        cp "$out/chat-log-cost.svg" docs/chat-log-cost.svg
        echo "chart copied to docs/chat-log-cost.svg"
    fi
fi

if wants burst || wants burst-tls; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target burst_benchmark
    ostrel_display_start
    ostrel_wine_set_managed N
fi
if wants burst; then
    echo "==> burst through the real programs (under Wine; about a minute)"
    scripts/wine-run build/windows/bench/burst_benchmark.exe | tr -d '\r' | tee "$out/burst.txt"
fi
if wants burst-tls; then
    # Against the Linux build of the server, which the Windows programs start on the host.
    cmake --preset native >/dev/null
    cmake --build --preset native --target ostrel-server
    echo "==> burst through the real programs over TLS and plain (under Wine; two minutes)"
    scripts/wine-run build/windows/bench/burst_benchmark.exe --tls | tr -d '\r' |
        tee "$out/burst-tls.txt"
fi
echo "figures: $out/"
