#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks what lands where, and builds and runs a C
# program against the installed library: through pkg-config (shared and static) and through
# find_package.
# Usage: install_test.sh BUILD_DIR WORK_DIR LIBDIR SANITIZE [PATH...]
#   LIBDIR: the library directory under the prefix; SANITIZE: the build's -fsanitize= list (may
#   be empty), which the programs built against it need too; PATH: files that must be installed,
#   relative to the prefix. With QUILLET_PYTHON and QUILLET_PYTHON_DIR set, the installed Python
#   package is imported too.
set -euo pipefail
build=$1 work=$2 libdir_name=$3 sanitize=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
for path in "$@"; do
  [ -e "$prefix/$path" ] || { echo "not installed: $path" >&2; exit 1; }
done

export PKG_CONFIG_PATH=$prefix/$libdir_name/pkgconfig
libdir=$(pkg-config --variable=libdir quillet)
[ "$(cd "$libdir" && pwd -P)" = "$(cd "$prefix/$libdir_name" && pwd -P)" ] ||
  { echo "quillet.pc names libdir $libdir" >&2; exit 1; }

# The shared library exports the C API and nothing else.
others=$(nm -D --defined-only "$libdir/libquillet.so" | awk '$2 != "A" && $3 !~ /^quillet_/ {print $3}')
[ -z "$others" ] || { echo "libquillet.so exports more than the API:" $others >&2; exit 1; }

flags=(-std=c99 -Wall -Wextra -Werror ${sanitize:+-fsanitize=$sanitize})
cc "${flags[@]}" "$here/consumer/consumer.c" -o "$work/consumer_pc" \
  $(pkg-config --cflags --libs quillet) -Wl,-rpath,"$libdir"
"$work/consumer_pc"
# The README's static recipe, as written.
cc "${flags[@]}" "$here/consumer/consumer.c" -o "$work/consumer_static" \
  $(pkg-config --cflags --libs quillet-static)
static_only() {
  if readelf -d "$1" | grep -q 'libquillet\.so'; then
    echo "$1 links libquillet.so" >&2
    exit 1
  fi
  "$1"
}
static_only "$work/consumer_static"

cmake -S "$here/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="${flags[*]}" > "$work/cmake.log"
cmake --build "$work/cmake" > "$work/cmake-build.log"
"$work/cmake/consumer"
static_only "$work/cmake/consumer_static"

# The installed Python package, with the interpreter it was built for.
if [ -n "${QUILLET_PYTHON:-}" ]; then
  PYTHONPATH=$prefix/$QUILLET_PYTHON_DIR "$QUILLET_PYTHON" -c '
import sys, quillet
assert quillet.__file__.startswith(sys.argv[1]), quillet.__file__
quillet.Filter(8, 8)' "$prefix"
fi
