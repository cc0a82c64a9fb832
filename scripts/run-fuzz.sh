#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for a while; the
# export and module targets, which drive the whole library, three times as
# long.
#   scripts/run-fuzz.sh [seconds per target, default 20] [target ...]
# New inputs go to build-fuzz/corpus/<target>; the seeds in fuzz/corpus stay
# as they are. A crash leaves its input in build-fuzz/artifacts/<target>.
# Each target's own output goes to build-fuzz/logs/<target>.log; a failing
# target's exit status and the end of its log are printed last, so the end
# of a CI log says what failed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
[ $# -gt 0 ] && shift
targets=${*:-fuzz_tlv fuzz_unpad fuzz_hex fuzz_card_answers fuzz_ber fuzz_seal_zel_answers fuzz_key_answers fuzz_exports fuzz_pkcs11}
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQAV_BUILD_FUZZ=ON \
    -DQAV_BUILD_TESTS=OFF -DQAV_BUILD_SIM=ON -DQAV_BUILD_TOOLS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

# libFuzzer checks for leaks after each input that reaches new code and keeps
# that input. The sanitizer's own check at exit adds only state accumulated
# over the whole in-process run, which no input reproduces and nothing keeps.
# New blocks are not filled with garbage either: the export target makes
# many, and filling them took a fifth of its time.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}leak_check_at_exit=0:max_malloc_fill_size=0"

mkdir -p "$build/logs"
failed=""
for target in $targets; do
    work="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/logs/$target.log"
    mkdir -p "$work" "$artifacts"
    status=0
    time=$seconds
    case $target in fuzz_exports | fuzz_pkcs11) time=$((seconds * 3)) ;; esac
    # The module target runs few inputs a second: whole call sequences from
    # the start, not lengths grown slowly from its short seeds.
    extra=()
    [ "$target" = fuzz_pkcs11 ] && extra=(-len_control=0 -max_len=600)
    "$build/fuzz/$target" -max_total_time="$time" -print_final_stats=1 "${extra[@]}" \
        -artifact_prefix="$artifacts/" "$work" "$root/fuzz/corpus/$target" >"$log" 2>&1 ||
        status=$?
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
    echo "== $target: ${time}s, ${runs:-?} runs, exit status $status"
    [ "$status" -eq 0 ] || failed="$failed $target"
done

for target in $failed; do
    echo "!! $target failed; the end of $build/logs/$target.log:"
    tail -n 40 "$build/logs/$target.log"
    echo "!! inputs kept in $build/artifacts/$target:"
    ls -l "$build/artifacts/$target"
done
[ -z "$failed" ]
