#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each on its seed corpus:
#   scripts/fuzz.sh                 each target for 60 seconds
#   scripts/fuzz.sh --seconds S     each target for S seconds
#   scripts/fuzz.sh --runs N        each target for N inputs, from a fixed seed (the test command)
# New inputs that reach new code go to build/fuzz/corpus/<target> (kept between longer runs); a crash leaves its input in
# build/fuzz/crashes/ and makes the script fail. Turn such an input into a regression test.
set -uo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"

limit=(-max_total_time=60)
fixed=no
case "${1:-}" in
--seconds) limit=(-max_total_time="$2") ;;
--runs)
    limit=(-runs="$2" -seed=1)
    fixed=yes
    ;;
"") ;;
*)
    echo "usage: scripts/fuzz.sh [--seconds S | --runs N]" >&2
    exit 2
    ;;
esac

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || exit 1

failed=()
mkdir -p build/fuzz/crashes
for target in packet_extraction frame_receive settings_file server_input certificate_key \
    chat_line_format operator_command ban_file; do
    # A fixed run starts from the seed corpus alone, so that it repeats exactly.
    corpus="build/fuzz/corpus/$target"
    [ "$fixed" = yes ] && corpus="build/fuzz/fixed-run/$target" && rm -rf "$corpus"
    mkdir -p "$corpus"
    echo "==> fuzzing $target (${limit[*]})"
    if ! "build/fuzz/fuzz/${target}_fuzzer" "$corpus" "fuzz/corpus/$target" "${limit[@]}" \
        -artifact_prefix="build/fuzz/crashes/$target-" -print_final_stats=1 >"build/fuzz/$target.log" 2>&1; then
        tail -n 40 "build/fuzz/$target.log"
        failed+=("$target")
    else
        grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$target.log" | tail -n 1
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found problems in: ${failed[*]} (inputs in build/fuzz/crashes/)"
    exit 1
fi
