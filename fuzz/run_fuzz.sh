#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each from its committed corpus for a fixed number of inputs:
#   y4m_reader_fuzzer  the Y4M reader;
#   plugin_fuzzer      the plug-in boundary: the filter driven through its registration record;
#   engine_fuzzer      the engine's C API: random formats, sizes (some shared among workers),
#                      settings and call sequences, planes at odd addresses.
#   fuzz/run_fuzz.sh [RUNS [PLUGIN_RUNS [ENGINE_RUNS]]]   defaults 20000, 10000 and 10000;
#                                                         BUILD_DIR defaults to build/fuzz
# Unseeded, the engine fuzzer took some 8,000 runs to find a misaligned 16-bit store; its corpus
# holds that input, and the runs go past that count.
# New interesting inputs go to scratch directories, never into the committed corpus. A crash
# leaves its input as BUILD_DIR/crash-* and makes the script fail.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-20000}
plugin_runs=${2:-10000}
engine_runs=${3:-10000}
build=${BUILD_DIR:-$root/build/fuzz}
cxx=${CXX_FUZZ:-clang++}
flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=all -I$root -I$root/include"
flags="$flags -DQUILLET_ENABLE_SIMD=1 -DQUILLET_HAVE_AVX2=1 -DQUILLET_HAVE_AVX512=1"

mkdir -p "$build/core"
"$cxx" $flags -fsanitize=fuzzer,address,undefined \
  "$root/fuzz/y4m_reader_fuzzer.cpp" "$root/cli/y4m.cpp" "$root/formats/sample_scale.cpp" \
  "$root/formats/convert_scalar.cpp" -o "$build/y4m_reader_fuzzer"

# The filter core, instrumented for coverage, each kernel form with its instruction-set flags;
# two compilers at a time.
objects=""
pids=""
count=0
for src in "$root"/rows/*.cpp "$root"/host/*.cpp "$root"/pipeline/*.cpp "$root"/lowpass/*.cpp \
  "$root"/motion/*.cpp "$root"/compose/*.cpp "$root"/comb/*.cpp "$root"/platform/allocation_controls.cpp \
  "$root"/platform/*_posix.cpp "$root"/formats/*.cpp "$root"/dispatch/*.cpp \
  "$root"/engine/*.cpp "$root"/runtime/*.cpp; do
  case $src in
    *_mmx.cpp) isa="-mmmx" ;;
    *_sse.cpp) isa="-mmmx -msse" ;;
    *_sse2.cpp) isa="-mmmx -msse -msse2" ;;
    *_avx2.cpp) isa="-mmmx -msse -msse2 -mavx2" ;;
    *_avx512.cpp) isa="-mmmx -msse -msse2 -mavx2 -mavx512f -mavx512bw" ;;
    *) isa="" ;;
  esac
  object="$build/core/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
  "$cxx" $flags $isa -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$object" &
  pids="$pids $!"
  objects="$objects $object"
  count=$((count + 1))
  if [ $((count % 2)) -eq 0 ]; then
    for pid in $pids; do wait "$pid"; done
    pids=""
  fi
done
for pid in $pids; do wait "$pid"; done
# shellcheck disable=SC2086
"$cxx" $flags -fsanitize=fuzzer,address,undefined "$root/fuzz/plugin_fuzzer.cpp" $objects \
  -o "$build/plugin_fuzzer"
# shellcheck disable=SC2086
"$cxx" $flags -fsanitize=fuzzer,address,undefined "$root/fuzz/engine_fuzzer.cpp" $objects \
  -o "$build/engine_fuzzer"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/y4m" "$scratch/plugin" "$scratch/engine"
cd "$build"
./y4m_reader_fuzzer -runs="$runs" -max_len=8192 -rss_limit_mb=2048 -timeout=10 \
  -dict="$root/fuzz/y4m.dict" -seed="${FUZZ_SEED:-1}" -print_final_stats=1 \
  "$scratch/y4m" "$root/fuzz/corpus/y4m"
./plugin_fuzzer -runs="$plugin_runs" -max_len=512 -rss_limit_mb=2048 -timeout=10 \
  -seed="${FUZZ_SEED:-1}" -print_final_stats=1 \
  "$scratch/plugin" "$root/fuzz/corpus/plugin"
./engine_fuzzer -runs="$engine_runs" -max_len=256 -rss_limit_mb=2048 -timeout=20 \
  -seed="${FUZZ_SEED:-1}" -print_final_stats=1 "$scratch/engine" "$root/fuzz/corpus/engine"
