#!/usr/bin/env bash
# The README's Y4M pipeline, run as written, on 8-bit 4:2:0 (starting at 21 ms) and 10-bit 4:2:2
# H.264 files with audio: every frame comes through once, in its format, and the audio is copied.
# Usage: readme_recipes_test.sh README QUILLET WORK_DIR
set -euo pipefail
readme=$1 quillet=$2 work=$3
rm -rf "$work"
mkdir -p "$work/bin"
ln -s "$quillet" "$work/bin/quillet"
export PATH=$work/bin:$PATH
cd "$work"
# The fenced block that starts with the pipeline's first line.
recipe=$(awk '/^ffmpeg -i in.mkv -map 0:v:0/ {on = 1} on && /^```/ {exit} on' "$readme")
[ -n "$recipe" ] || { echo "no Y4M recipe in $readme" >&2; exit 1; }
failures=0
frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames,pix_fmt -of csv=p=0 "$1"; }
audio() { ffmpeg -nostdin -v error -i "$1" -vn -c copy -f framemd5 - | grep -v '^#'; }
for case in "yuv420p|-output_ts_offset 0.021" "yuv422p10le|"; do
  IFS='|' read -r pix offset <<< "$case"
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine -t 0.4 \
    $offset -c:v libx264 -pix_fmt "$pix" -c:a aac in.mkv
  rm -f out.mkv
  if ! bash -c "set -o pipefail; ${recipe//quillet --tap 3/quillet --quiet --tap 3}" 2> err.txt; then
    echo "FAIL $pix: the recipe failed: $(cat err.txt)" >&2
    failures=$((failures + 1))
    continue
  fi
  [ "$(frames in.mkv)" = "$(frames out.mkv)" ] ||
    { echo "FAIL $pix: frames $(frames in.mkv) became $(frames out.mkv)" >&2; failures=$((failures + 1)); }
  [ "$(audio in.mkv)" = "$(audio out.mkv)" ] ||
    { echo "FAIL $pix: the audio changed" >&2; failures=$((failures + 1)); }
done
[ "$failures" -eq 0 ]
