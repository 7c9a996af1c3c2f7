#!/usr/bin/env bash
# quillet IN OUT on video files that ffmpeg generates: one table of containers, codecs, layouts
# and timings. For each: the output's video timestamps are the input's, its audio packets the
# input's byte for byte, and with FFV1 its frames are what the Y4M pipeline gives for the same
# decoded frames. On a mixed stream --deint interlaced filters exactly the interlaced pictures.
# Usage: av_files_test.sh QUILLET WORK_DIR
set -euo pipefail
quillet=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
failures=0
fail() { echo "FAIL $*" >&2; failures=$((failures + 1)); }
ff() { ffmpeg -nostdin -v error -y "$@"; }

src=(-f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=sample_rate=48000)
# name | input options | encoder options (the output is NAME.EXT)
cases=(
  "h264_late.mkv|-output_ts_offset 0.021|-c:v libx264 -pix_fmt yuv420p -c:a aac"
  "ffv1_420.mkv||-c:v ffv1 -pix_fmt yuv420p -c:a flac"
  "prores_422p10.mov||-c:v prores_ks -pix_fmt yuv422p10le -c:a pcm_s16le"
  "vfr.mkv||-vf settb=1/1000,setpts=N*40+gt(N\,4)*13+gt(N\,7)*29 -fps_mode passthrough -c:v ffv1 -c:a libopus"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name inopts encopts <<< "$c"
  # shellcheck disable=SC2086
  ff "${src[@]}" -t 0.4 $inopts $encopts "$name"
done
# A broadcast-style stream that switches between progressive and interlaced (MBAFF) pictures.
x264=(-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 4 -c:v libx264 -bf 0)
ff "${x264[@]}" -x264-params interlaced=1 p1.h264
ff "${x264[@]}" p2.h264
cat p1.h264 p2.h264 p1.h264 > mixed.h264
ff -framerate 25 -i mixed.h264 -c copy mixed.mkv
cases+=("mixed.mkv||")

frame_times() {
  ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time \
    -of csv=p=0 "$1" | cut -d, -f1 | grep .
}
audio_packets() { ff -i "$1" -vn -c copy -f framemd5 - 2> /dev/null | grep -v '^#' || true; }
decoded() { ff -i "$1" -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt "$2" - | md5sum; }

for c in "${cases[@]}"; do
  IFS='|' read -r name _ <<< "$c"
  before=$failures
  ext=${name##*.}
  pix=$(ffprobe -v error -select_streams v:0 -show_entries stream=pix_fmt -of csv=p=0 "$name")
  if ! "$quillet" --quiet --tap 3 "$name" "out_$name" 2> err.txt; then
    fail "$name: quillet failed: $(cat err.txt)"
    continue
  fi
  [ "$(frame_times "$name")" = "$(frame_times "out_$name")" ] ||
    fail "$name: video times differ: $(frame_times "$name" | tr '\n' ' ') / $(frame_times "out_$name" | tr '\n' ' ')"
  [ "$(audio_packets "$name")" = "$(audio_packets "out_$name")" ] || fail "$name: audio packets differ"
  [ "$(ffprobe -v error -select_streams v:0 -show_entries stream=field_order -of csv=p=0 "out_$name")" = progressive ] ||
    fail "$name: output not marked progressive"
  # FFV1 output against the Y4M pipeline on the same decoded frames.
  "$quillet" --quiet --tap 3 --vcodec ffv1 "$name" "ffv1_$name.mkv"
  ff -i "$name" -map 0:v -fps_mode passthrough -strict -1 -f yuv4mpegpipe - |
    "$quillet" --quiet --tap 3 - "y4m_$name.y4m"
  [ "$(decoded "ffv1_$name.mkv" "$pix")" = "$(decoded "y4m_$name.y4m" "$pix")" ] ||
    fail "$name: FFV1 output differs from the Y4M path"
  [ "$failures" -ne "$before" ] || echo "ok $name ($pix, $ext)"
done

# --deint interlaced on the mixed stream: the interlaced pictures change, the others do not.
flags=$(ffprobe -v error -show_entries frame=interlaced_frame -of csv=p=0 mixed.mkv |
  cut -d, -f1 | tr -d '\n')
[ "$flags" = 111100001111 ] || fail "mixed.mkv: generated flags are $flags"
# Motion off: every filtered picture changes.
"$quillet" --quiet --tap 3 --motion 0 --deint interlaced --vcodec ffv1 mixed.mkv deint.mkv
frame_hashes() { ff -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'; }
changed=$(paste -d' ' <(frame_hashes mixed.mkv) <(frame_hashes deint.mkv) |
  awk '{printf "%d", $1 != $2}')
[ "$changed" = "$flags" ] || fail "--deint interlaced changed frames $changed, interlaced $flags"

# --frames keeps the slice's own times; --no-audio drops the other streams.
"$quillet" --quiet --frames 3:6 --no-audio h264_late.mkv slice.mkv
[ "$(frame_times slice.mkv)" = "$(frame_times h264_late.mkv | sed -n 4,6p)" ] ||
  fail "--frames 3:6 times: $(frame_times slice.mkv | tr '\n' ' ')"
[ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 slice.mkv)" = video ] ||
  fail "--no-audio kept other streams"

# The container's metadata and chapters come along.
printf ';FFMETADATA1\ntitle=Film\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=200\ntitle=One\n' > meta.txt
ff -i ffv1_420.mkv -i meta.txt -map 0 -map_metadata 1 -map_chapters 1 -c copy chapters.mkv
"$quillet" --quiet chapters.mkv chapters_out.mkv
about() { ffprobe -v error -show_chapters -show_entries format_tags=title -of compact "$1"; }
[ "$(about chapters.mkv)" = "$(about chapters_out.mkv)" ] || fail "metadata or chapters not copied"

# What a user gets wrong ends with exit 1 and a message naming the stream.
ff -f lavfi -i sine -t 0.2 audio_only.mka
for bad in "audio_only.mka out.mkv|no video stream" "ffv1_420.mkv out.mp4 --vcodec ffv1|cannot hold"; do
  IFS='|' read -r args says <<< "$bad"
  # shellcheck disable=SC2086
  if "$quillet" --quiet $args 2> err.txt; then
    fail "quillet $args succeeded"
  elif ! grep -q "$says" err.txt || ! grep -q "stream\|ffv1" err.txt; then
    fail "quillet $args: $(cat err.txt)"
  fi
done

[ "$failures" -eq 0 ] || exit 1
