#!/usr/bin/env bash
# Runs every test: set-up and release build, unit tests, end-to-end tests,
# the same under ASan+UBSan, the threaded layers under TSan, and a short
# smoke run of each fuzz target. Exits non-zero if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc)
PYTEST=(/usr/bin/python3 -m pytest -q -p no:cacheprovider)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
failed=()

step() { echo; echo "==== $*"; }
run() { local name=$1; shift; "$@" || failed+=("$name"); }

step "set-up and release build"
bash tools/setup.sh || { echo "set-up failed"; exit 1; }

step "unit tests (release)"
run unit ctest --test-dir build --output-on-failure -j "$JOBS"

step "end-to-end tests (release)"
run e2e env UPDATER_BIN="$ROOT/build/Updater" "${PYTEST[@]}" tests/e2e tests/sim

step "ASan+UBSan build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DSANITIZE=address -DBUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null \
  && cmake --build build-asan -j "$JOBS" >/dev/null || failed+=(asan-build)
run unit-asan ctest --test-dir build-asan --output-on-failure -j "$JOBS"
run e2e-asan env UPDATER_BIN="$ROOT/build-asan/Updater" "${PYTEST[@]}" tests/e2e

step "TSan build (threaded layers)"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan -DSANITIZE=thread -DBUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null \
  && cmake --build build-tsan -j "$JOBS" >/dev/null || failed+=(tsan-build)
run unit-tsan ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L threaded

step "fuzz smoke (${FUZZ_SECONDS}s per target)"
if CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFUZZ=ON -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF >/dev/null \
   && cmake --build build-fuzz -j "$JOBS" >/dev/null; then
  for f in build-fuzz/fuzz/*_fuzz; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus="fuzz/corpus/${name%_fuzz}"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null
    echo "-- $name"
    if ! "$f" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 "$work" >"$work.log" 2>&1; then
      failed+=("$name"); tail -n 40 "$work.log"
    else
      tail -n 4 "$work.log"
    fi
    rm -f "$work.log"
    rm -rf "$work"
  done
else
  failed+=(fuzz-build)
fi

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test stages passed"
