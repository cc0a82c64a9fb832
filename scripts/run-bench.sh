#!/usr/bin/env bash
# Builds the benchmarks into build-bench and runs them against the virtual seal
# key in a private pcscd (scripts/bench: needs root). Prints Google Benchmark's
# table, then one line per ratio, export time over the same work done with
# direct pcsc-lite calls, measured side by side in this run.
#
# usage: scripts/run-bench.sh [benchmark options]
#   The default is five repetitions, medians only; options given here come
#   after the defaults and win, e.g. --benchmark_repetitions=1.
#   QAV_BENCH_CPU: the CPU that pcscd, the key and the benchmarks share
#   (default: the last one; empty: no pinning). Every call passes between the
#   three; spread over CPUs, the wake-ups cost more than the calls and vary
#   from run to run several times over on a virtual machine.
# Exit status: 0; 1 when the build or a benchmark failed; 77 when the bench
# cannot run here (skipped).
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${QAV_JOBS:-2}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAV_BUILD_BENCH=ON \
  -DQAV_BUILD_SIM=ON -DQAV_BUILD_TESTS=OFF -DQAV_BUILD_TOOLS=OFF >/dev/null &&
  cmake --build build-bench -j"$jobs" >/dev/null || { echo "run-bench: build failed" >&2; exit 1; }

cpu=${QAV_BENCH_CPU-$(($(nproc) - 1))}
pin=()
[ -n "$cpu" ] && pin=(taskset -c "$cpu")
"${pin[@]}" scripts/bench --vcard build-bench/sim/qavseal-vcard -- build-bench/bench/qavseal_pcscd_bench \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
status=$?
if [ "$status" -eq 77 ]; then
  echo "run-bench: skipped (the bench needs root, pcscd and the vpcd driver)"
elif [ "$status" -ne 0 ]; then
  echo "run-bench: a benchmark failed (status $status)" >&2
fi
exit "$status"
