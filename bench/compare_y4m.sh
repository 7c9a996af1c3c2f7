#!/usr/bin/env bash
# quillet on the engine beside ffmpeg's yadif and bwdif on the video people deinterlace: Y4M
# 4:2:0 at 8 and 10 bits, 1920x1080, testsrc2 scrolled and woven into fields. ffmpeg runs with
# one thread; quillet with one and two workers (its reader and writer threads overlap I/O).
# Builds nothing; needs ffmpeg, hyperfine and jq.
#
# usage: bench/compare_y4m.sh QUILLET [FRAMES] [RUNS] [PIXFMT...]
#   FRAMES  frames in each clip (default 100); RUNS timed runs per command (default 7)
#   PIXFMT  ffmpeg pixel formats to compare (default: yuv420p yuv420p10le)
# Clips and hyperfine's JSON go to $QUILLET_COMPARE_DIR (default /tmp/quillet-compare).
set -euo pipefail

usage="usage: $0 QUILLET [FRAMES] [RUNS] [PIXFMT...]"
quillet=$(realpath "${1:?$usage}")
frames=${2:-100}
runs=${3:-7}
shift $(($# < 3 ? $# : 3))
formats=("$@")
[[ ${#formats[@]} -gt 0 ]] || formats=(yuv420p yuv420p10le)
dir=${QUILLET_COMPARE_DIR:-/tmp/quillet-compare}
for tool in ffmpeg hyperfine jq; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found" >&2; exit 2; }
done
mkdir -p "$dir"

for fmt in "${formats[@]}"; do
  clip=$dir/woven-1920x1080-$fmt-$frames.y4m
  if [[ ! -f $clip ]]; then
    echo "making $clip" >&2
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=s=1920x1080:r=50 \
      -vf "scroll=vertical=0.003,interlace=scan=tff,format=$fmt" -frames:v "$frames" \
      -strict -1 "$clip.part.y4m"
    mv "$clip.part.y4m" "$clip"
  fi
  ff="ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 -i $clip"
  json=$dir/results-$fmt.json
  echo "== $fmt; load before: $(uptime)" >&2
  hyperfine -N --warmup 1 --runs "$runs" --export-json "$json" \
    -n quillet-t1 "$quillet --threads 1 $clip /dev/null" \
    -n quillet-t2 "$quillet --threads 2 $clip /dev/null" \
    -n quillet-t1-tap6 "$quillet --threads 1 --tap 6 $clip /dev/null" \
    -n ffmpeg-read "$ff -vf null -f null -" \
    -n ffmpeg-yadif "$ff -vf yadif=mode=send_frame -f null -" \
    -n ffmpeg-bwdif "$ff -vf bwdif=mode=send_frame -f null -" >&2
  echo "load after: $(uptime)" >&2
  jq -r --arg fmt "$fmt" '
    def med(n): (.results[] | select(.command == n) | .median);
    ([med("ffmpeg-yadif"), med("ffmpeg-bwdif")] | min) as $ff
    | "\($fmt): quillet --threads 1 \($ff / med("quillet-t1") * 100 | round / 100)x the faster of yadif/bwdif (target 1.5), --tap 6 \($ff / med("quillet-t1-tap6") * 100 | round / 100)x (target 1.0), --threads 2 over 1: \(med("quillet-t1") / med("quillet-t2") * 100 | round / 100)x (target 1.6); medians s: t1 \(med("quillet-t1")), t2 \(med("quillet-t2")), tap6 \(med("quillet-t1-tap6")), yadif \(med("ffmpeg-yadif")), bwdif \(med("ffmpeg-bwdif")), read \(med("ffmpeg-read"))"
  ' "$json"
done
