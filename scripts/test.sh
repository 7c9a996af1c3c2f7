#!/usr/bin/env bash
# Builds everything and runs every test: the unit, cross-form, end-to-end and install suites under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, the
# Python and GStreamer suites and the benchmarks (one short iteration) in the release build, the
# Windows plug-in and CLI under Wine, the Y4M fuzzer, and the format and layering checks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

jobs=$(nproc)
failed=()
passed=()
step() {
  local name=$1
  shift
  echo "=== $name" >&2
  if "$@"; then passed+=("$name"); else failed+=("$name"); fi
}

format_check() {
  git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run --Werror &&
    scripts/check_layers.sh
}

asan() {
  cmake --preset dev > /dev/null &&
    cmake --build --preset dev -j "$jobs" &&
    ctest --preset dev -j "$jobs" --timeout 600
}

tsan() {
  cmake --preset tsan > /dev/null &&
    cmake --build --preset tsan -j "$jobs" --target threaded_tests &&
    ctest --preset tsan -j "$jobs" --timeout 600 -L "$(cat build/tsan/threaded_labels)"
}

# The Python module and the GStreamer element load into programs built without sanitizers, so
# their tests run here (the install test runs in every build).
release() {
  cmake --preset release > /dev/null &&
    cmake --build --preset release -j "$jobs" &&
    ctest --preset release -j "$jobs" --timeout 600 -L '^(python|gstreamer|install)$' &&
    for b in build/release/bench/*_bench; do
      "$b" --benchmark_min_time=0.001 > /dev/null || return 1
    done
}

windows() {
  tests/windows/run_windows_tests.sh build/release build/mingw
}

fuzz() {
  fuzz/run_fuzz.sh
}

step format format_check
step asan+ubsan asan
step tsan tsan
step release+benchmarks release
[ -x tests/windows/run_windows_tests.sh ] && step windows windows
[ -x fuzz/run_fuzz.sh ] && step fuzz fuzz

echo "steps passed: ${passed[*]:-none}" >&2
echo "steps failed: ${failed[*]:-none}" >&2
[ ${#failed[@]} -eq 0 ]
