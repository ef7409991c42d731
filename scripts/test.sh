#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer. Most end-to-end tests need
# root (private mount and network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== plain build =="
run_suite build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_SANITIZE=ON

# Reply parsing and the attachment install under libFuzzer, for a bounded
# time; any crash or sanitizer report fails the run. The seed corpus stays
# untouched: new inputs go to a scratch directory.
echo "== reply fuzzing (30 s) =="
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAVRIK_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-fuzz -j"$jobs" --target reply_fuzz
fuzz_work=$(mktemp -d /tmp/reply-fuzz-corpus.XXXXXX)
trap 'rm -rf "$fuzz_work"' EXIT
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build-fuzz/fuzz/reply_fuzz -max_total_time=30 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ "$fuzz_work" fuzz/corpus
