#!/usr/bin/env bash
# Builds the benchmarks into build-bench and runs them against virtual seal
# keys in a private pcscd (scripts/bench: needs root): first with one key (the
# export families, bulk transfers, memory), then two (the watch), then eight
# (threads); each run also times the listing; last a service without readers
# (the idle watch). Prints Google Benchmark's
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

# The machine, and its load before and after: other work on it shows in the
# figures.
machine() {
  printf '{"cpu": "%s", "cpus": %s, "hypervisor": "%s", "kernel": "%s", "load_before": "%s", "load_after": "%s", "pinned_cpu": "%s", "date": "%s"}\n' \
    "$(lscpu | sed -n 's/^Model name: *//p' | head -1)" "$(nproc)" \
    "$(lscpu | sed -n 's/^Hypervisor vendor: *//p' | head -1)" "$(uname -sr)" "$1" \
    "$(cut -d' ' -f1-3 /proc/loadavg)" "$cpu" "$(date -u +%Y-%m-%dT%H:%MZ)" > "$results/machine.json"
}
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

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
# A service without any reader (a USB key unplugged): the idle watch alone.
echo "== no reader"
"${pin[@]}" scripts/bench --no-readers --image-dir build-bench/bench-images \
  --vcard build-bench/sim/qavseal-vcard --vcard-args --no-save -- \
  env QAV_BENCH_JSON="$results/no-readers.json" build-bench/bench/qavseal_pcscd_bench \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
run=$?
if [ "$run" -ne 0 ]; then
  echo "run-bench: the benchmark without readers failed (status $run)" >&2
  status=1
fi
# The memory sequence again under valgrind: its leak count. Shorter than the
# timed run (valgrind slows every call down many times over).
valgrind_calls=${QAV_BENCH_VALGRIND_CALLS:-100,2000}
echo "== valgrind: the mixed export sequence, ${valgrind_calls#*,} calls"
scripts/bench --keys 1 --image-dir build-bench/bench-images \
  --vcard build-bench/sim/qavseal-vcard --vcard-args --no-save -- \
  env QAV_BENCH_MEMORY_CALLS="$valgrind_calls" \
  valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=3 \
  --log-file="$results/valgrind.log" build-bench/bench/qavseal_pcscd_bench \
  --benchmark_filter='Memory/mixed_exports/' > "$results/valgrind-bench.txt"
run=$?
lost() { sed -n "s/.*$1 lost: [0-9,]* bytes in \([0-9,]*\) blocks.*/\1/p" "$results/valgrind.log" | tr -d , | tail -1; }
errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$results/valgrind.log" | tr -d , | tail -1)
definite=$(lost definitely); indirect=$(lost indirectly)
printf '{"calls": %s, "exit_status": %s, "definitely_lost_blocks": %s, "indirectly_lost_blocks": %s, "errors": %s}\n' \
  "${valgrind_calls#*,}" "$run" "${definite:-0}" "${indirect:-0}" "${errors:-0}" > "$results/valgrind.json"
echo "Valgrind: leaked blocks (definitely + indirectly lost): $((${definite:-0} + ${indirect:-0})) (goal 0), errors ${errors:-0}, status $run"
[ "$run" -eq 0 ] || status=1

machine "$load_before"
echo "run-bench: figures in $results (scripts/plot-bench $results writes the table and the plot)"
exit "$status"
