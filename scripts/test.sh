#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a plain build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer; then runs every fuzz
# target for a bounded time. Most end-to-end tests need root (private mount
# and network namespaces).
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

# Every libFuzzer target that fuzz/CMakeLists.txt defines, each for a
# bounded time from its seed corpus fuzz/corpus-<name> (the target's name
# less "_fuzz"). The seeds stay untouched: new inputs go to a scratch
# directory. A crash, a sanitizer report or a hung input fails the run,
# once every target has had its turn; the input is kept in build-fuzz/.
fuzz_seconds=25
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAVRIK_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
mapfile -t fuzz_targets < <(sed -n 's/^[[:space:]]*add_executable(\([A-Za-z0-9_]*_fuzz\)[[:space:])].*/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz -j"$jobs" --target "${fuzz_targets[@]}"
fuzz_work=$(mktemp -d /tmp/tavrik-fuzz.XXXXXX)
trap 'rm -rf "$fuzz_work"' EXIT
fuzz_failed=()
for target in "${fuzz_targets[@]}"; do
  name=${target%_fuzz}
  echo "== fuzzing $target ($fuzz_seconds s) =="
  seeds=()
  if [[ -d fuzz/corpus-$name ]]; then seeds=("fuzz/corpus-$name"); fi
  mkdir "$fuzz_work/$name"
  # Standard output closed: the code under test prints its messages there.
  if ! ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 -print_final_stats=1 \
    -close_fd_mask=1 -artifact_prefix="build-fuzz/$target-" "$fuzz_work/$name" "${seeds[@]}"; then
    fuzz_failed+=("$target")
  fi
done
if ((${#fuzz_failed[@]})); then
  echo "fuzzing failed: ${fuzz_failed[*]} (inputs in build-fuzz/)" >&2
  exit 1
fi
echo "== all fuzz targets passed: ${fuzz_targets[*]} =="
