#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/run-fuzz.sh [seconds per target, default 30] [target ...]
# New inputs go to build-fuzz/corpus/<target>; the seeds in fuzz/corpus stay
# as they are. A crash leaves its input in build-fuzz/artifacts/<target>.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=${*:-fuzz_tlv fuzz_unpad fuzz_hex fuzz_card_answers fuzz_ber fuzz_seal_zel_answers}
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQAV_BUILD_FUZZ=ON \
    -DQAV_BUILD_TESTS=OFF -DQAV_BUILD_SIM=OFF -DQAV_BUILD_TOOLS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

status=0
for target in $targets; do
    work="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    mkdir -p "$work" "$artifacts"
    echo "== $target: ${seconds}s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" "$root/fuzz/corpus/$target"; then
        echo "!! $target found a failure; see $artifacts" >&2
        status=1
    fi
done
exit $status
