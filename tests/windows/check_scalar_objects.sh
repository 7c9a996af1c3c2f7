#!/usr/bin/env bash
# Fails when an object of the i686 build outside the vector kernel forms holds an MMX or SSE
# instruction: the plug-in must run its scalar set on a processor without them.
#   objects named *_mmx / *_sse / *_sse2   vector forms, compiled with their own flags: skipped
#   sse_support_windows                   the operating system's SSE probe: exactly one
#                                         `xorps %xmm0,%xmm0`, written as bytes, nothing else
#   everything else                       no mm/xmm register and no register-less MMX/SSE
#                                         instruction (emms, fences, prefetches, MXCSR access)
# Usage: check_scalar_objects.sh MINGW_BUILD_DIR
set -euo pipefail
build=${1:?usage: check_scalar_objects.sh MINGW_BUILD_DIR}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

vector_use='%x?mm[0-9]|\b(emms|femms|ldmxcsr|stmxcsr|sfence|lfence|mfence|movnti|maskmovq|prefetch(nta|t0|t1|t2))\b'
scalar=0
vector=0
bad=0
while IFS= read -r -d '' obj; do
  name=$(basename "$obj")
  hits=$("$objdump" -d --no-show-raw-insn "$obj" | grep -E "$vector_use" || true)
  case "$name" in
    *_mmx.cpp.obj | *_sse.cpp.obj | *_sse2.cpp.obj)
      [ -n "$hits" ] && vector=$((vector + 1))
      continue
      ;;
    sse_support_windows.cpp.obj)
      if [ "$(printf '%s\n' "$hits" | grep -c .)" != 1 ] ||
        ! printf '%s\n' "$hits" | grep -qE 'xorps +%xmm0,%xmm0'; then
        echo "FAIL $obj: the probe must hold exactly one xorps %xmm0,%xmm0, found:"
        printf '%s\n' "$hits" | head -5
        bad=$((bad + 1))
      fi
      ;;
    *)
      if [ -n "$hits" ]; then
        echo "FAIL $obj: MMX/SSE instructions in a scalar object:"
        printf '%s\n' "$hits" | head -5
        bad=$((bad + 1))
      fi
      ;;
  esac
  scalar=$((scalar + 1))
done < <(find "$build" -name '*.obj' -not -path '*/CMakeFiles/[0-9]*' -print0)

# A scan that sees no vector code anywhere is not looking at the right disassembly.
if [ "$vector" -eq 0 ]; then
  echo "FAIL no vector instructions found in any *_mmx/*_sse/*_sse2 object under $build"
  bad=$((bad + 1))
fi
echo "scalar objects checked: $scalar, vector-form objects with vector code: $vector"
[ "$bad" -eq 0 ]
