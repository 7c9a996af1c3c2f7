#!/usr/bin/env bash
# Every check of the Windows build, from a clean clone once the native build exists:
#   1. builds what it needs: quillet and windows_reference natively, the plug-in, quillet.exe and
#      plugin_test.exe with the mingw-i686 toolchain (configured on first use);
#   2. the plug-in's PE header: pei-i386, the one export GetFilterTable, system DLLs only (also
#      for quillet.exe and plugin_test.exe, which must run without the compiler's DLLs);
#   3. no MMX/SSE instruction in objects outside the vector kernel forms;
#   4. plugin_test.exe under Wine on every processor it can be given (under qemu: SSE2, SSE,
#      MMX-only and a plain i686 without any), against native quillet output made with the
#      kernel set the plug-in picks there;
#   5. quillet.exe under Wine against native quillet, byte for byte, with every --cpu set, on
#      ycc16 clips and on a Y4M clip.
# Usage: run_windows_tests.sh [NATIVE_BUILD_DIR [MINGW_BUILD_DIR]]   (build/release build/mingw)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
native=$(realpath -m "${1:-$root/build/release}")
mingw=$(realpath -m "${2:-$root/build/mingw}")
here="$root/tests/windows"
# shellcheck source=i386_runtime.sh
. "$here/i386_runtime.sh"

passed=0
failed=0
pass() {
  passed=$((passed + 1))
  echo "ok   $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL $1${2:+: $2}"
}
finish() {
  echo "windows: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}

# ---- 1. builds
if [ ! -f "$native/CMakeCache.txt" ]; then
  echo "no native build in $native: configure it first (cmake --preset release)" >&2
  exit 2
fi
cmake --build "$native" --target quillet windows_reference > "$native/windows-build.log" 2>&1 ||
  { tail -30 "$native/windows-build.log"; echo "native build failed" >&2; exit 2; }
if [ ! -f "$mingw/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$mingw" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=OFF > /dev/null
fi
cmake --build "$mingw" --target plugin plugin_test quillet > "$mingw/windows-build.log" 2>&1 ||
  { tail -30 "$mingw/windows-build.log"; echo "mingw build failed" >&2; exit 2; }
plugin="$mingw/host/quillet_pp.auf"
plugin_test="$mingw/tests/windows/plugin_test.exe"
quillet_exe="$mingw/cli/quillet.exe"
quillet="$native/cli/quillet"

# ---- 2. PE headers
objdump=i686-w64-mingw32-objdump
# DLLs every Windows has; anything else (libstdc++-6, libgcc_s_*, libwinpthread-1) would have to
# be shipped beside the plug-in.
system_dll='^(kernel32|msvcrt|ntdll|user32|advapi32|shell32|ole32|oleaut32|ws2_32|gdi32)\.dll$'
check_imports() {
  local file=$1 dlls bad
  dlls=$("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
  bad=$(printf '%s\n' "$dlls" | tr '[:upper:]' '[:lower:]' | grep -vE "$system_dll" || true)
  if [ -n "$dlls" ] && [ -z "$bad" ]; then
    pass "pe.$(basename "$file").system_imports_only (${dlls//$'\n'/ })"
  else
    fail "pe.$(basename "$file").system_imports_only" "imports: ${dlls//$'\n'/ }"
  fi
}
header=$("$objdump" -p "$plugin")
if printf '%s\n' "$header" | grep -q 'file format pei-i386' &&
  printf '%s\n' "$header" | grep -qE '^Magic\s+010b\s+\(PE32\)'; then
  pass "pe.quillet_pp.auf.pe32_i386"
else
  fail "pe.quillet_pp.auf.pe32_i386" "$(printf '%s\n' "$header" | grep -m1 'file format')"
fi
exports=$(printf '%s\n' "$header" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] //p')
if [ "$exports" = GetFilterTable ]; then
  pass "pe.quillet_pp.auf.only_export_GetFilterTable"
else
  fail "pe.quillet_pp.auf.only_export_GetFilterTable" "exports: ${exports//$'\n'/ }"
fi
for f in "$plugin" "$quillet_exe" "$plugin_test"; do check_imports "$f"; done

# ---- 3. scalar objects
if "$here/check_scalar_objects.sh" "$mingw"; then
  pass "objects.no_vector_code_outside_kernel_forms"
else
  fail "objects.no_vector_code_outside_kernel_forms"
fi

# ---- Wine
if ! i386_setup; then
  fail "wine.i386_programs_run" "the 32-bit Wine loader cannot be started"
  finish
fi
export WINEDEBUG=-all
export WINEPREFIX="$mingw/wine-prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
work="$mingw/windows-test"
rm -rf "$work"
mkdir -p "$work"
winpath() { echo "Z:$1"; }
# The prefix is made once and completely (slow under emulation) before anything runs in it;
# then a server kept alive between the runs saves its start-up each time.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot --init > /dev/null 2>&1 || true
  wineserver -w
fi
# Wine keeps what it learnt of the processor in the server's session (shared user data, the
# service processes), so each emulated processor gets a server of its own.
use_cpu() {
  wineserver -k > /dev/null 2>&1 || true
  wineserver -w > /dev/null 2>&1 || true
  if [ "$1" = default ]; then unset QEMU_CPU; else export QEMU_CPU=$1; fi
  wineserver -p 30 > /dev/null 2>&1 || true
}
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT

"$native/tests/windows/windows_reference" "$work" || { fail "reference.inputs"; finish; }

options_for() {  # tap top bottom motion motion2 show next max
  local o="--tap $1 --top $2 --bottom $3 --motion $4 --motion2 $5"
  [ "$6" = 1 ] && o="$o --show-motion"
  [ "$7" = 1 ] && o="$o --next-frame"
  [ "$8" = 1 ] && o="$o --max"
  echo "$o"
}

# Native reference output of every case for one kernel set.
make_references() {
  local set=$1 dir="$work/ref_$1"
  [ -d "$dir" ] && return 0
  mkdir -p "$dir"
  local name clip w h mw mh frames rest
  while read -r name clip w h mw mh frames rest; do
    case "$name" in '#'* | '') continue ;; esac
    # shellcheck disable=SC2046,SC2086
    "$quillet" --quiet --format ycc16 --size "${w}x$h" --max-size "${mw}x$mh" --cpu "$set" \
      --threads 0 $(options_for $rest) "$work/clip_$clip.ycc16" "$dir/ref_$name.ycc16" ||
      return 1
  done < "$work/cases.txt"
}

# ---- 4. the plug-in on each processor
cpus=(default)
[ "$I386_EMULATED" = 1 ] && cpus=(max pentium3 pentium2 "qemu32,-mmx,-sse,-sse2")
for cpu in "${cpus[@]}"; do
  use_cpu "$cpu"
  set_name=$(wine "$plugin_test" --cpu-set | tr -d '\r') || set_name=""
  label="plugin_test[cpu=$cpu,set=${set_name:-?}]"
  if [ -z "$set_name" ] || ! make_references "$set_name"; then
    fail "$label" "no kernel set or no native references"
    continue
  fi
  log="$work/plugin_test_$set_name.log"
  if wine "$plugin_test" "$(winpath "$plugin")" "$(winpath "$work")" \
    "$(winpath "$work/ref_$set_name")" "$set_name" > "$log" 2>&1; then
    pass "$label $(tr -d '\r' < "$log" | tail -1)"
  else
    grep -a '^FAIL' "$log" | head -20 || true
    fail "$label" "$(tr -d '\r' < "$log" | tail -1)"
  fi
done

# ---- 5. quillet.exe against native quillet
cli_cases=(band_next odd_stride show_max motion_177 wide_threads)
batch="$work/quillet_runs.cmd"
: > "$batch"
declare -a compare=()
for set in sse2 sse mmx scalar; do
  mkdir -p "$work/cli_$set"
  for name in "${cli_cases[@]}"; do
    read -r _ clip w h mw mh _ rest < <(grep "^$name " "$work/cases.txt")
    opts="--quiet --format ycc16 --size ${w}x$h --max-size ${mw}x$mh --cpu $set $(options_for $rest)"
    # shellcheck disable=SC2086
    "$quillet" $opts --threads 0 "$work/clip_$clip.ycc16" "$work/cli_$set/native_$name.ycc16"
    printf '%s\r\n' "$(winpath "$quillet_exe") $opts --threads 3 $(winpath "$work/clip_$clip.ycc16") $(winpath "$work/cli_$set/windows_$name.ycc16")" >> "$batch"
    compare+=("$set/$name.ycc16")
  done
  # The same through the Y4M path, on the demo's combed clip.
  printf '%s\r\n' "$(winpath "$quillet_exe") --quiet --cpu $set --tap 4 --next-frame $(winpath "$work/demo/input.y4m") $(winpath "$work/cli_$set/windows_demo.y4m")" >> "$batch"
  compare+=("$set/demo.y4m")
done
"$quillet" demo "$work/demo" > /dev/null 2>&1 || true
if [ -f "$work/demo/input.y4m" ]; then
  for set in sse2 sse mmx scalar; do
    "$quillet" --quiet --cpu "$set" --tap 4 --next-frame "$work/demo/input.y4m" \
      "$work/cli_$set/native_demo.y4m"
  done
fi
use_cpu default
wine cmd /c "$(winpath "$batch")" > "$work/quillet_runs.log" 2>&1 || true
for item in "${compare[@]}"; do
  set=${item%%/*}
  file=${item#*/}
  if [ -s "$work/cli_$set/native_$file" ] &&
    cmp -s "$work/cli_$set/native_$file" "$work/cli_$set/windows_$file"; then
    pass "quillet.exe[cpu=$set] $file"
  else
    fail "quillet.exe[cpu=$set] $file" "$(cmp "$work/cli_$set/native_$file" \
      "$work/cli_$set/windows_$file" 2>&1 | head -1)"
  fi
done
finish
