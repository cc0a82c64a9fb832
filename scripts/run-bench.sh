#!/usr/bin/env bash
# Builds the benchmarks into build-bench and runs them against virtual seal
# keys in a private pcscd (scripts/bench: needs root): first with one key (the
# export families, bulk transfers, memory), then two (the watch), then eight
# (threads); each run also times the listing. Prints Google Benchmark's
# tables, then one summary line per figure with its goal, and leaves one JSON
# file per run in the results folder (scripts/plot-bench turns them into
# docs/performance.md's table and plot).
#
# usage: scripts/run-bench.sh [benchmark options]
#   The default is five repetitions, medians only; options given here come
#   after the defaults and win, e.g. --benchmark_repetitions=1.
#   QAV_BENCH_RESULTS: the results folder (default build-bench/bench-results).
#   QAV_BENCH_BRIEF=1: the long measurements (watch, memory, threads) short.
#   QAV_BENCH_CPU: the CPU that pcscd, the keys and the benchmarks share
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
  cmake --build build-bench -j"$jobs" --target qavseal_pcscd_bench qavseal-vcard >/dev/null ||
  { echo "run-bench: build failed" >&2; exit 1; }

results=${QAV_BENCH_RESULTS:-build-bench/bench-results}
mkdir -p "$results" build-bench/bench-images
cpu=${QAV_BENCH_CPU-$(($(nproc) - 1))}
pin=()
[ -n "$cpu" ] && pin=(taskset -c "$cpu")

status=0
for keys in 1 2 8; do
  echo "== $keys virtual key(s)"
  # The card images are kept between runs (making a key costs an RSA key
  # generation); --no-save keeps file writes out of the timed commands.
  "${pin[@]}" scripts/bench --keys "$keys" --image-dir build-bench/bench-images \
    --vcard build-bench/sim/qavseal-vcard --vcard-args --no-save -- \
    env QAV_BENCH_JSON="$results/keys$keys.json" build-bench/bench/qavseal_pcscd_bench \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
  run=$?
  if [ "$run" -eq 77 ]; then
    echo "run-bench: skipped (the bench needs root, pcscd and the vpcd driver)"
    exit 77
  elif [ "$run" -ne 0 ]; then
    echo "run-bench: a benchmark failed with $keys key(s) (status $run)" >&2
    status=1
  fi
done
echo "run-bench: figures in $results"
exit "$status"
