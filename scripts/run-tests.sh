#!/usr/bin/env bash
# The whole test suite: unit and integration tests, the same unit tests under
# ASan/UBSan, TSan and valgrind, the Windows DLL's export check, short fuzz runs.
# Ends with one line "tests: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QAV_JOBS:-2}

scripts/install-deps.sh || { echo "tests: 0 passed, 1 failed"; exit 1; }

passed=0
failed=0
step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "=== $name FAILED"; return 1
  fi
}

# A ctest run counts each of its tests.
ctest_step() {  # ctest_step NAME BUILD_DIR ARGS...
  local name=$1 dir=$2; shift 2
  echo "=== $name"
  local log
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$log"
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$line" ]; then
    echo "=== $name: no test ran"; failed=$((failed + 1)); return
  fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + t - f)); failed=$((failed + f))
}

build() {  # build DIR CMAKE_ARGS...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null &&
    cmake --build "$dir" -j"$jobs"
}

# The benchmarks are built (and run once, briefly, as an integration test)
# so they keep compiling; their timings are for scripts/run-bench.sh.
if step "build (Linux)" build build -DQAV_BUILD_TESTS=ON -DQAV_BUILD_BENCH=ON; then
  ctest_step "tests (Linux)" build
  step "valgrind (unit tests)" valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --error-exitcode=1 --suppressions=tests/unit/valgrind.supp \
    build/tests/unit/qavseal_unit_tests --gtest_brief=1
  if [ -x build/tests/virtual_key/qavseal_virtual_key_tests ]; then
    step "valgrind (virtual key tests)" valgrind -q --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
      --suppressions=sim/tests/valgrind.supp \
      build/tests/virtual_key/qavseal_virtual_key_tests --gtest_brief=1
  fi
fi

if step "build (ASan/UBSan)" build build-asan -DQAV_BUILD_TESTS=ON -DQAV_SANITIZE=ON; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_step "unit and crash tests (ASan/UBSan)" build-asan -L 'unit|crash'
fi

if step "build (TSan)" build build-tsan -DQAV_BUILD_TESTS=ON -DQAV_SANITIZE_THREAD=ON -DQAV_BUILD_SIM=OFF; then
  TSAN_OPTIONS=halt_on_error=1 ctest_step "unit and crash tests (TSan)" build-tsan -L 'unit|crash'
fi

if step "build (Windows i686 DLL)" build build-win \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.toolchain.cmake"; then
  ctest_step "DLL export check" build-win
fi

if [ -x scripts/run-fuzz.sh ]; then
  step "fuzzing" scripts/run-fuzz.sh "${QAV_FUZZ_SECONDS:-30}"
fi

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
