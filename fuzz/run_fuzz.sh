#!/bin/sh
# Builds the Y4M reader fuzzer with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs it from the committed corpus for a fixed number of inputs.
#   fuzz/run_fuzz.sh [RUNS]        RUNS defaults to 20000; BUILD_DIR defaults to build/fuzz
# New interesting inputs go to a scratch directory, never into the committed corpus. A crash
# leaves its input as BUILD_DIR/crash-* and makes the script fail.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-20000}
build=${BUILD_DIR:-$root/build/fuzz}
cxx=${CXX_FUZZ:-clang++}

mkdir -p "$build"
"$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root" \
  "$root/fuzz/y4m_reader_fuzzer.cpp" "$root/cli/y4m.cpp" "$root/formats/sample_scale.cpp" \
  "$root/formats/convert_scalar.cpp" \
  -o "$build/y4m_reader_fuzzer"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$build"
./y4m_reader_fuzzer -runs="$runs" -max_len=8192 -rss_limit_mb=2048 -timeout=10 \
  -dict="$root/fuzz/y4m.dict" -seed="${FUZZ_SEED:-1}" -print_final_stats=1 \
  "$scratch" "$root/fuzz/corpus/y4m"
