#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer; then runs every fuzz
# target for a bounded time. Most end-to-end tests need root (private mount
# and network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
# After each build's tests, every skipped test is listed with its reason (a
# skip is not a pass); the script still fails when a test failed.
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  local status=0 results=ctest-results.xml
  rm -f "$dir/$results"
  # A skipped test's output is kept whole up to its reason.
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --output-junit "$results" \
    --test-output-size-passed 262144) || status=$?
  scripts/skipped-tests.py "$dir/$results" || status=1
  return "$status"
}

echo "== plain build =="
run_suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_SANITIZE=ON

# Every libFuzzer target that fuzz/CMakeLists.txt defines, each for a
# bounded time from its seed corpus fuzz/corpus-<name> (the target's name
# less "_fuzz"). The seeds stay untouched: new inputs go to a scratch
# directory. The targets run side by side, as many at a time as there are
# cores; each one's output goes to its own log, printed once all are done.
# A crash, a sanitizer report or a hung input of any target fails the run;
# the input is kept in build-fuzz/<target>-*.
fuzz_seconds=25
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAVRIK_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
mapfile -t fuzz_targets < <(sed -n 's/^[[:space:]]*add_executable(\([A-Za-z0-9_]*_fuzz\)[[:space:])].*/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz -j"$jobs" --target "${fuzz_targets[@]}"
fuzz_work=$(mktemp -d /tmp/tavrik-fuzz.XXXXXX)
trap 'rm -rf "$fuzz_work"' EXIT

# One target; its output to <work>/<target>.log, its exit status to
# <work>/<target>.status.
fuzz_one() {
  local target=$1 name=${1%_fuzz} status=0
  local seeds=()
  if [[ -d fuzz/corpus-$name ]]; then seeds=("fuzz/corpus-$name"); fi
  mkdir "$fuzz_work/$name"
  # Standard output closed: the code under test prints its messages there.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 -print_final_stats=1 \
    -close_fd_mask=1 -artifact_prefix="build-fuzz/$target-" "$fuzz_work/$name" "${seeds[@]}" \
    >"$fuzz_work/$target.log" 2>&1 || status=$?
  echo "$status" >"$fuzz_work/$target.status"
}

at_once=$((jobs < ${#fuzz_targets[@]} ? jobs : ${#fuzz_targets[@]}))
echo "== fuzzing ${fuzz_targets[*]} ($fuzz_seconds s each, $at_once at a time) =="
running=0
for target in "${fuzz_targets[@]}"; do
  if ((running == at_once)); then
    wait -n || true  # the status is in the target's file
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

fuzz_failed=()
for target in "${fuzz_targets[@]}"; do
  status=$(cat "$fuzz_work/$target.status" 2>/dev/null || echo "no status")
  echo "== fuzzing $target: exit status $status =="
  cat "$fuzz_work/$target.log"
  if [[ $status != 0 ]]; then fuzz_failed+=("$target"); fi
done
if ((${#fuzz_failed[@]})); then
  echo "fuzzing failed: ${fuzz_failed[*]} (inputs in build-fuzz/)" >&2
  exit 1
fi
echo "== all fuzz targets passed: ${fuzz_targets[*]} =="
