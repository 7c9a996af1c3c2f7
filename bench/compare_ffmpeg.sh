#!/usr/bin/env bash
# Frame rate of quillet beside ffmpeg's yadif, bwdif and w3fdif on the same raw 1920x1080 clip,
# six bytes per pixel, one thread each. Builds nothing; needs ffmpeg, hyperfine and jq.
#
# usage: bench/compare_ffmpeg.sh QUILLET [FRAMES] [RUNS]
#   QUILLET  the quillet binary to measure
#   FRAMES   frames in the clip (default 100)
#   RUNS     timed runs per command after one warm-up run (default 7)
# The clip and hyperfine's JSON go to $QUILLET_COMPARE_DIR (default /tmp/quillet-compare);
# an existing clip of the same length is reused.
#
# The clip is ffmpeg's testsrc2 pattern in yuv444p16le: planar 16-bit Y, U, V. quillet reads
# the same bytes as its ycc16 format (packed signed 16-bit Y, Cb, Cr), so both programs handle
# the same number of bytes per frame; the pixel values quillet sees differ from the picture.
set -euo pipefail

usage="usage: $0 QUILLET [FRAMES] [RUNS]"
quillet=${1:?$usage}
frames=${2:-100}
runs=${3:-7}
dir=${QUILLET_COMPARE_DIR:-/tmp/quillet-compare}
width=1920
height=1080
frame_bytes=$((width * height * 6))

[[ -x $quillet ]] || { echo "$0: '$quillet' is not an executable" >&2; exit 2; }
for tool in ffmpeg hyperfine jq; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found" >&2; exit 2; }
done
quillet=$(realpath "$quillet")
mkdir -p "$dir"
clip=$dir/testsrc2-${width}x${height}-yuv444p16le-$frames.raw

if [[ ! -f $clip || $(stat -c %s "$clip") -ne $((frames * frame_bytes)) ]]; then
  echo "making $clip ($frames frames)" >&2
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=${width}x${height}:rate=25" -frames:v "$frames" \
    -pix_fmt yuv444p16le -f rawvideo "$clip.part"
  mv "$clip.part" "$clip"
fi

size=${width}x${height}
ffmpeg_with() {
  echo "ffmpeg -nostdin -hide_banner -loglevel error -f rawvideo -pix_fmt yuv444p16le" \
    "-s $size -i $clip -vf $1 -threads 1 -filter_threads 1 -f null -"
}
names=(quillet-tap0 quillet-tap6 ffmpeg-yadif ffmpeg-bwdif ffmpeg-w3fdif)
commands=(
  "$quillet --format ycc16 --size $size --next-frame --threads 1 $clip /dev/null"
  "$quillet --format ycc16 --size $size --next-frame --threads 1 --tap 6 $clip /dev/null"
  "$(ffmpeg_with yadif=mode=send_frame)"
  "$(ffmpeg_with bwdif=mode=send_frame)"
  "$(ffmpeg_with w3fdif=mode=frame)"
)

# Every command must run cleanly before it is timed.
for i in "${!commands[@]}"; do
  if ! ${commands[$i]} >/dev/null 2>"$dir/${names[$i]}.err"; then
    echo "$0: ${names[$i]} failed:" >&2
    cat "$dir/${names[$i]}.err" >&2
    exit 1
  fi
done

echo "load before: $(uptime)"
hyperfine_args=(-N --warmup 1 --runs "$runs" --export-json "$dir/results.json")
for i in "${!commands[@]}"; do hyperfine_args+=(-n "${names[$i]}" "${commands[$i]}"); done
hyperfine "${hyperfine_args[@]}" >&2
echo "load after:  $(uptime)"

# One row per command: median wall time, frames per second from it, user time.
jq -r --argjson frames "$frames" '
  def fps: $frames / .median;
  ([.results[] | select(.command | startswith("ffmpeg")) | fps] | max) as $best
  | (["command", "median_s", "fps", "ms_per_frame", "user_s(mean)", "x_best_ffmpeg"] | @tsv),
    (.results[] | [.command, (.median * 1000 | round / 1000), (fps * 10 | round / 10),
                   (.median / $frames * 1e4 | round / 10), (.user * 1000 | round / 1000),
                   (fps / $best * 100 | round / 100)] | @tsv),
    "",
    "best ffmpeg: \($best * 10 | round / 10) fps",
    (.results[] | select(.command == "quillet-tap0") | fps / $best
     | "tap 0: \(. * 100 | round / 100) x best ffmpeg (target >= 2): \(if . >= 2 then "met" else "MISSED" end)"),
    (.results[] | select(.command == "quillet-tap6") | fps / $best
     | "tap 6: \(. * 100 | round / 100) x best ffmpeg (target >= 1): \(if . >= 1 then "met" else "MISSED" end)")
' "$dir/results.json" | column -t -s $'\t'
