#!/usr/bin/env bash
# What --deint combed costs over --deint all on an all-interlaced clip: quillet at 1 and 2
# workers on testsrc2 1920x1080 scrolled and woven into fields (8-bit 4:2:0), output to
# /dev/null. The four commands run in turns, each round in a rotated order, so a busy spell of
# the machine falls on all of them; medians of the wall time and of the processor time (user +
# system, all threads) and the combed/all ratios are printed. Builds nothing; needs ffmpeg and
# GNU time (/usr/bin/time).
#
# usage: bench/compare_deint.sh QUILLET [FRAMES] [ROUNDS] [CLIP]
#   FRAMES  frames in the clip (default 120); ROUNDS runs of each command (default 9)
#   CLIP    a Y4M clip to use instead (made when missing; default in /dev/shm)
set -euo pipefail

usage="usage: $0 QUILLET [FRAMES] [ROUNDS] [CLIP]"
quillet=$(realpath "${1:?$usage}")
frames=${2:-120}
rounds=${3:-9}
clip=${4:-/dev/shm/quillet-woven-1920x1080-$frames.y4m}
if [[ ! -f $clip ]]; then
  command -v ffmpeg >/dev/null || { echo "$0: ffmpeg not found" >&2; exit 2; }
  echo "making $clip" >&2
  # Two frames of 50 a second weave into one of 25: rows of even and odd lines from moments
  # apart, and the picture moves everywhere.
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "testsrc2=size=1920x1080:rate=50,scroll=v=0.003:h=0.002,interlace=scan=tff:lowpass=off" \
    -frames:v "$frames" -pix_fmt yuv420p "$clip.part.y4m"
  mv "$clip.part.y4m" "$clip"
fi

names=(t1-all t1-combed t2-all t2-combed)
commands=("--threads 1 --deint all" "--threads 1 --deint combed"
          "--threads 2 --deint all" "--threads 2 --deint combed")
declare -A wall cpu
timing=$(mktemp)
trap 'rm -f "$timing"' EXIT
echo "load before: $(uptime)" >&2
"$quillet" --quiet "$clip" /dev/null  # warm-up: the clip in the page cache
for ((r = 0; r < rounds; ++r)); do
  for ((i = 0; i < 4; ++i)); do
    c=$(((i + r) % 4))
    # shellcheck disable=SC2086
    /usr/bin/time -f '%e %U %S' -o "$timing" "$quillet" --quiet ${commands[c]} "$clip" /dev/null
    read -r e u s <"$timing"
    wall[${names[c]}]+="$(awk -v e="$e" 'BEGIN {print int(e * 1000 + 0.5)}') "
    cpu[${names[c]}]+="$(awk -v u="$u" -v s="$s" 'BEGIN {print int((u + s) * 1000 + 0.5)}') "
  done
done
echo "load after: $(uptime)" >&2

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
for n in "${names[@]}"; do
  printf '%-10s wall %s ms (%s), cpu %s ms (%s)\n' "$n" "$(median <<<"${wall[$n]}")" \
    "${wall[$n]% }" "$(median <<<"${cpu[$n]}")" "${cpu[$n]% }"
done
for t in t1 t2; do
  for what in wall cpu; do
    declare -n m=$what
    all=$(median <<<"${m[$t-all]}")
    combed=$(median <<<"${m[$t-combed]}")
    awk -v t="$t" -v w="$what" -v a="$all" -v c="$combed" 'BEGIN {
      printf "%s %s: combed / all = %d / %d ms = %.3f (%+.1f %%)\n", t, w, c, a, c / a, (c / a - 1) * 100
    }'
  done
done
