#!/usr/bin/env bash
# Filters a Y4M file in chunks of frames with GNU parallel, on this machine or several, and joins
# the chunks into one Y4M file equal to a whole run's output.
#
# Usage: scripts/chunked.sh INPUT.y4m OUTPUT.y4m FRAMES_PER_CHUNK [PARALLEL_OPTION...]
#                           [-- QUILLET_OPTION...]
#   PARALLEL_OPTION  passed to parallel as given: -j4, --sshlogin 8/host1,8/host2,: ...
#   QUILLET_OPTION   passed to every quillet run: --tap 3 --next-frame ...
#   QUILLET          the quillet program on every machine (default: quillet on the PATH)
# Remote machines get the input copied to the same absolute path and send their chunks back,
# unless the path is on a file system they share.
set -euo pipefail

usage() {
  sed -n '5,9s/^# \{0,1\}//p' "$0" >&2
  exit 2
}
[ $# -ge 3 ] || usage
input=$(realpath -- "$1")
output=$2
chunk=$3
shift 3
[[ $chunk =~ ^[1-9][0-9]*$ ]] || { echo "chunked.sh: FRAMES_PER_CHUNK must be an integer from 1" >&2; exit 2; }
[ -f "$input" ] || { echo "chunked.sh: '$1' is not a file" >&2; exit 2; }
parallel_args=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  parallel_args+=("$1")
  shift
done
[ $# -gt 0 ] && shift
quillet_args=("$@")
quillet=${QUILLET:-quillet}
remote=0
for arg in "${parallel_args[@]}"; do
  case $arg in -S* | --sshlogin* | --slf*) remote=1 ;; esac
done

# Frames in the input, from its header and size. Frame markers with parameters make frames
# longer, so this can only count too many (a chunk past the end writes no frame); the last chunk
# runs to the end in any case.
header=$(head -n 1 -- "$input")
[[ $header == YUV4MPEG2\ * ]] || { echo "chunked.sh: '$input' is not a Y4M file" >&2; exit 1; }
width=0 height=0 colour=420
# Sizes are decimal, leading zeros and all (shell arithmetic would read 08 as octal).
decimal() {
  [[ $1 =~ ^[0-9]{1,9}$ ]] || { echo "chunked.sh: '$input': bad $2 '$1' in the header" >&2; exit 1; }
  echo $((10#$1))
}
for token in $header; do
  case $token in
    W*) width=$(decimal "${token#W}" width) ;;
    H*) height=$(decimal "${token#H}" height) ;;
    C*) colour=${token#C} ;;
  esac
done
case $colour in
  mono*) chroma=0 ;;
  420*) chroma=$((2 * ((width + 1) / 2) * ((height + 1) / 2))) ;;
  422*) chroma=$((2 * ((width + 1) / 2) * height)) ;;
  *) chroma=$((2 * width * height)) ;;
esac
sample=1
[[ $colour =~ (p|mono)(9|1[0-6])$ ]] && sample=2
frame_bytes=$(((width * height + chroma) * sample + 6))
frames=$((($(stat -c %s -- "$input") - ${#header} - 1) / frame_bytes))

# Chunks go beside the output, so that machines sharing its file system write them in place;
# the joined file is made there too and takes the output's name only once it is whole.
chunks=$(mktemp -d "$(realpath -- "$(dirname -- "$output")")/.chunks.XXXXXX")
runner=
# An interrupt stops the jobs before the chunks go, so that none writes them again.
stop() {
  trap - TERM INT
  if [ -n "$runner" ]; then
    kill -TERM "$runner" 2> /dev/null || true
    wait "$runner" 2> /dev/null || true
  fi
  exit "$1"
}
trap 'rm -rf -- "$chunks"' EXIT
trap 'stop 143' TERM
trap 'stop 130' INT
starts=()
for ((a = 0; a == 0 || a < frames; a += chunk)); do starts+=("$a"); done
last=${starts[${#starts[@]} - 1]}
transfers=()
[ "$remote" = 1 ] && transfers=(--basefile "$input" --return "$chunks/{1}.y4m" --cleanup)

command="mkdir -p $(printf %q "$chunks") && $(printf %q "$quillet") --quiet"
for arg in "${quillet_args[@]}"; do command+=" $(printf %q "$arg")"; done
command+=" --frames {1}:{2} $(printf %q "$input") $(printf %q "$chunks")/{1}.y4m"
for a in "${starts[@]}"; do
  # The last chunk has no end: it writes whatever the file holds from its start.
  [ "$a" = "$last" ] && echo "$a 9223372036854775807" || echo "$a $((a + chunk))"
done > "$chunks/ranges"
# In the background, so that a signal reaches the trap at once rather than after the jobs.
parallel --will-cite --halt now,fail=1 --colsep ' ' "${transfers[@]}" "${parallel_args[@]}" \
  "$command" < "$chunks/ranges" &
runner=$!
wait "$runner"
runner=

# A chunk is a whole Y4M file: the first one whole, then the others' frames after their header
# line.
{
  cat -- "$chunks/0.y4m"
  for a in "${starts[@]:1}"; do tail -n +2 -- "$chunks/$a.y4m"; done
} > "$chunks/joined"
mv -f -- "$chunks/joined" "$output"
