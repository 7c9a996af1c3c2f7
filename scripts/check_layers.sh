#!/usr/bin/env bash
# Fails when a folder includes a header of a folder that comes after it in the layer order
# (ARCHITECTURE.md): each folder may include only itself and the folders listed before it.
#   scripts/check_layers.sh [SOURCE_DIR]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
layers=(include common platform rows lowpass motion compose comb formats dispatch pipeline host runtime
  engine standin cli bindings)

declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

bad=0
for layer in "${layers[@]}"; do
  [ -d "$root/$layer" ] || continue
  while IFS=: read -r file line target; do
    used=${target%%/*}
    [ -n "${rank[$used]+set}" ] || continue
    if [ "${rank[$used]}" -gt "${rank[$layer]}" ]; then
      echo "${file#"$root"/}:$line: $layer/ includes $target ($used/ comes after $layer/)"
      bad=$((bad + 1))
    fi
  done < <(grep -rnE --include='*.h' --include='*.cpp' --include='*.c' \
    '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+/[^"]+"' "$root/$layer" |
    sed -E 's/^([^:]+):([0-9]+):[^"]*"([^"]+)".*/\1:\2:\3/')
done
if [ "$bad" -gt 0 ]; then
  echo "layers: $bad include(s) against the order: ${layers[*]}"
  exit 1
fi
echo "layers: every include follows the order ${layers[*]}"
