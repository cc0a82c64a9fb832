#!/usr/bin/env bash
# The whole test suite: unit, virtual-key and integration tests, the same
# under ASan/UBSan and TSan, the unit, virtual-key and seal-session
# programs under valgrind, the Debian packages built, checked, installed and
# used, the Windows DLL's export check, the unit tests as Windows programs
# under Wine, short fuzz runs.
# Ends with one line "tests: N passed, N failed"; what could not run is listed
# on a "skipped:" line before it, and never counted as passed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${QAV_JOBS:-2}

scripts/install-deps.sh || { echo "tests: 0 passed, 1 failed"; exit 1; }

passed=0
failed=0
skipped=0
skip_reasons=()
skip() {  # skip NAME REASON
  echo "=== $1 SKIPPED: $2"
  skipped=$((skipped + 1)); skip_reasons+=("$1 ($2)")
}
step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "=== $name (at $SECONDS s)"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "=== $name FAILED"; return 1
  fi
}

# Each step's header says when it began (seconds into the run), so a CI log
# shows where the time goes.

# A ctest run counts each of its tests.
ctest_step() {  # ctest_step NAME BUILD_DIR ARGS...
  local name=$1 dir=$2; shift 2
  echo "=== $name (at $SECONDS s)"
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

# A step through scripts/bench, whose 77 means it cannot run here.
bench_step() {  # bench_step NAME BENCH_ARGS...
  local name=$1; shift
  echo "=== $name (at $SECONDS s)"
  scripts/bench "$@"
  local rc=$?
  if [ "$rc" -eq 77 ]; then skip "$name" "the bench cannot run here"; return 0; fi
  if [ "$rc" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "=== $name FAILED"; fi
}

timed() {  # timed COMMAND...: runs it and says how long it took
  local started=$SECONDS
  "$@"
  echo "=== ($2 took $((SECONDS - started)) s)"
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
  # The library inside a whole seal session through pcscd; the virtual key
  # and pcscd are other processes and run plain.
  if [ -x build/tests/integration/qavseal_seal_session_tests ]; then
    timed bench_step "valgrind (seal session through pcscd)" \
      --vcard build/sim/qavseal-vcard -- valgrind -q --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
      --suppressions=tests/unit/valgrind.supp \
      build/tests/integration/qavseal_seal_session_tests --gtest_brief=1
  fi
fi

# The Debian packages, built as Debian does from a copy of the tree, checked
# (contents, lintian), then installed on this machine, used, and purged.
debs_started=$SECONDS
if timed step "build (Debian packages)" scripts/build-debs.sh build-deb; then
  step "Debian packages: contents and lintian" tests/package/debs_test.sh build-deb "$root"
  if [ ! -x build/sim/qavseal-vcard ]; then
    skip "Debian packages: installed" "no virtual key was built"
  elif [ "$(id -u)" != 0 ]; then
    skip "Debian packages: installed" "installing needs root"
  else
    step "Debian packages: installed" tests/package/installed_debs_test.sh build-deb "$root" \
      "$root/build/sim/qavseal-vcard"
  fi
fi
echo "=== Debian package steps took $((SECONDS - debs_started)) s"

# The sanitizer trees leave the command-line tool out (its tests run in the
# first tree and under valgrind) and keep line tables only: a report still
# names file and line, and the trees build in far less time. ASan builds at
# -O1; TSan stays at -O2, where gcc's null-dereference warning has no false
# alarm to raise in its instrumented code.
sanitized=(-DQAV_BUILD_TESTS=ON -DQAV_BUILD_TOOLS=OFF)

# The virtual-key suite carries the label unit. Through pcscd, the library's
# own test programs run under the sanitizer (the virtual keys they talk to
# are built with it too); the fault and tool tests are left out for now.
if step "build (ASan/UBSan)" build build-asan "${sanitized[@]}" \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1" \
    -DQAV_SANITIZE=ON; then
  export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
  ctest_step "unit, virtual-key and crash tests (ASan/UBSan)" build-asan -L 'unit|crash'
  timed ctest_step "integration tests (ASan/UBSan)" build-asan -L integration \
    -R 'integration_(seal_session|library_devices|vcard)_'
  unset ASAN_OPTIONS UBSAN_OPTIONS
fi

# TSan: the unit, virtual-key and crash tests, and the library's own
# programs through pcscd (threads, watches, two processes, faults). The
# module's clients are left out: their programs are not built with TSan.
if step "build (TSan)" build build-tsan "${sanitized[@]}" \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1" \
    -DQAV_SANITIZE_THREAD=ON; then
  export TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp"
  ctest_step "unit, virtual-key and crash tests (TSan)" build-tsan -L 'unit|crash'
  timed ctest_step "integration tests (TSan)" build-tsan -L integration \
    -R 'integration_(library_devices|library_sharing|library_faults|library_no-readers|seal_session|vcard)'
  unset TSAN_OPTIONS
fi

# A Wine run counts the test program's own tests, read from its GoogleTest
# summary: the exit status alone proves nothing (a 32-bit program under a
# 64-bit-only Wine prints nothing and exits 0).
sum_of() {  # sum_of REGEX FILE: the numbers in the matches added up, or nothing
  grep -oE "$1" "$2" | grep -oE '[0-9]+' | awk '{ s += $1 } END { if (NR) print s }'
}
wine_step() {  # wine_step NAME BUILD_DIR
  local name=$1 dir=$2
  echo "=== $name (at $SECONDS s)"
  local log
  log=$(mktemp)
  (cd "$dir" && ctest -V -L wine) 2>&1 | grep -E '^[0-9]+: |tests passed|Test #' | tee "$log"
  local ran ok bad left ctest_ok
  ran=$(sum_of '\[==========\] [0-9]+ tests? from' "$log")
  ok=$(sum_of '\[  PASSED  \] [0-9]+' "$log")
  bad=$(sum_of '\[  FAILED  \] [0-9]+ tests?, listed below' "$log")
  left=$(sum_of 'not run under Wine: [0-9]+' "$log")
  ctest_ok=$(grep -c '100% tests passed' "$log")
  rm -f "$log"
  if [ -z "$ran" ]; then
    echo "=== $name: no GoogleTest summary, the program did not run"; failed=$((failed + 1)); return
  fi
  passed=$((passed + ${ok:-0})); failed=$((failed + ${bad:-0}))
  if [ "$ctest_ok" -eq 0 ] && [ -z "$bad" ]; then failed=$((failed + 1)); fi
  if [ -n "$left" ]; then
    skipped=$((skipped + left)); skip_reasons+=("$left tests left out of $name")
  fi
  echo "=== $name: $ran tests ran, ${ok:-0} passed"
}

# One Wine prefix per run, made before the first Windows test program runs.
export WINEPREFIX="$root/build-win64/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine_prefix() {
  rm -rf "$WINEPREFIX" && mkdir -p "$(dirname "$WINEPREFIX")" &&
    env -u DISPLAY /usr/lib/wine/wine64 wineboot --init && wineserver -w
}

# The 32-bit suite runs where wine32 is there and this machine runs 32-bit
# code (the 32-bit loader is itself such a program).
win32_why_not=
if [ ! -x /usr/lib/wine/wine ]; then
  win32_why_not="wine32 is not installed"
elif ! out=$(/usr/lib/wine/wine --version 2>&1); then
  win32_why_not="this machine cannot run 32-bit code: ${out:-no output}"
fi
win_started=$SECONDS
if step "build (Windows i686 DLL)" build build-win \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.toolchain.cmake" \
    -DQAV_BUILD_WINDOWS_TESTS="$([ -z "$win32_why_not" ] && echo ON || echo OFF)"; then
  ctest_step "DLL export check" build-win -LE wine
  win_built=ok
fi
# This tree is only a test program: built without optimisation or debug
# information, it compiles in about half the time.
if step "build (Windows x86-64 unit tests)" build build-win64 -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.toolchain.cmake" -DQAV_BUILD_WINDOWS_TESTS=ON &&
  step "Wine prefix" wine_prefix; then
  wine_step "unit tests (Windows x86-64, Wine)" build-win64
  if [ -n "$win32_why_not" ]; then
    skip "unit tests (Windows i686, Wine)" "$win32_why_not"
  elif [ -n "${win_built:-}" ]; then
    wine_step "unit tests (Windows i686, Wine)" build-win
  fi
fi
wineserver -k 2>/dev/null || true
echo "=== Windows steps took $((SECONDS - win_started)) s"

if [ -x scripts/run-fuzz.sh ]; then
  step "fuzzing" scripts/run-fuzz.sh "${QAV_FUZZ_SECONDS:-20}"
fi

if [ "$skipped" -gt 0 ]; then
  echo "skipped: $skipped ($(IFS=';'; echo "${skip_reasons[*]}"))"
fi
echo "=== all steps took $SECONDS s"
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
