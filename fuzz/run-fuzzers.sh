#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each: fuzz/run-fuzzers.sh BUILD_DIR SECONDS [SEED]
# A fixed SEED repeats the same mutations (as far as the time allows), for a gate that a run
# cannot fail by chance; without one, every run explores anew.
# Each target fuzzes BUILD_DIR/fuzz-corpus/<target>, which starts as a copy of the seeds in
# fuzz/corpus/<target> and keeps what earlier runs found; the repository is never written.
# A crash, sanitizer report or broken check stops the run: the input that caused it is in
# BUILD_DIR/fuzz-artifacts/<target>/ and the whole output in BUILD_DIR/fuzz-logs/<target>.log.
set -euo pipefail

if [[ $# -lt 2 || $# -gt 3 ]]; then
    echo "usage: $0 BUILD_DIR SECONDS [SEED]" >&2
    exit 2
fi
build=$1
seconds=$2
seed=${3:-0}
source_dir=$(cd "$(dirname "$0")" && pwd)

# target:dictionary (none for the binary frame input)
targets=(frame_intake: scenario:scenario setting_store:ini compile_info:ini)

for entry in "${targets[@]}"; do
    target=${entry%%:*}
    dict=${entry#*:}
    corpus=$build/fuzz-corpus/$target
    artifacts=$build/fuzz-artifacts/$target
    log=$build/fuzz-logs/$target.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    for input in "$source_dir/corpus/$target"/*; do
        [[ -e $corpus/${input##*/} ]] || cp "$input" "$corpus/"
    done

    options=(-max_total_time="$seconds" -seed="$seed" -timeout=10 -print_final_stats=1
             -artifact_prefix="$artifacts/")
    if [[ -n $dict ]]; then
        options+=(-dict="$source_dir/dict/$dict.dict")
    fi
    if ! "$build/fuzz/${target}_fuzzer" "${options[@]}" "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "${target}_fuzzer found a fault; see $log and $artifacts/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    files=$(find "$corpus" -type f | wc -l)
    printf '%-22s %10s runs in %s s, %7s exec/s, corpus %s inputs, no fault\n' \
        "${target}_fuzzer" "$runs" "$seconds" "$rate" "$files"
done
