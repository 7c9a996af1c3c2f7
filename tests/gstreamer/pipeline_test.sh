#!/usr/bin/env bash
# The plugin as gst-inspect-1.0 and gst-launch-1.0 see it: it is listed, and a raw clip through
# rawvideoparse ! quillet comes out with the same bytes as from the quillet binary.
# Usage: pipeline_test.sh QUILLET_BINARY PLUGIN_DIR WORK_DIR
set -euo pipefail
quillet=$1 work=$3
export GST_PLUGIN_PATH=$2 GST_REGISTRY=$3/registry.bin
rm -rf "$work"
mkdir -p "$work"
cd "$work"

gst-inspect-1.0 quillet > inspect.txt
grep -q 'MIT/X11' inspect.txt || { echo "gst-inspect-1.0 does not list quillet" >&2; exit 1; }

# ffmpeg pixel format, rawvideoparse format, size, element properties, quillet options
cases=(
  "yuv420p i420 64x48 tap=3,next-frame=true --tap=3,--next-frame"
  "yuv422p10le i422-10le 96x32 tap=1,motion2=32,max=true,next-frame=true,show-motion=true --tap=1,--motion2=32,--max,--next-frame,--show-motion"
  "gray16le gray16-le 48x40 tap=6,motion=8 --tap=6,--motion=8"
  "yuv411p y41b 48x32 tap=2,next-frame=true --tap=2,--next-frame"
  "yuv420p16le p016-le 64x38 tap=4,motion=40 --tap=4,--motion=40 p016le"
)
for c in "${cases[@]}"; do
  # The raw frames in the Y4M clip's format, or in the last field's (the same samples).
  read -r pixfmt format size properties options rawfmt <<< "$c"
  width=${size%x*} height=${size#*x}
  ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=${size}:rate=50" -frames:v 6 \
    -vf scroll=h=0.04,interlace -pix_fmt "$pixfmt" -strict -1 in.y4m
  ffmpeg -loglevel error -y -i in.y4m -pix_fmt "${rawfmt:-$pixfmt}" -f rawvideo in.raw
  "$quillet" --quiet ${options//,/ } in.y4m out.y4m
  ffmpeg -loglevel error -y -i out.y4m -pix_fmt "${rawfmt:-$pixfmt}" -f rawvideo expected.raw
  gst-launch-1.0 -q filesrc location=in.raw ! \
    rawvideoparse width="$width" height="$height" format="$format" framerate=25/1 \
    interlaced=true top-field-first=true ! quillet ${properties//,/ } ! filesink location=got.raw
  if ! cmp -s got.raw expected.raw; then
    echo "$pixfmt: the element's output differs from quillet's" >&2
    exit 1
  fi
  if cmp -s got.raw in.raw; then
    echo "$pixfmt: nothing was filtered" >&2
    exit 1
  fi
  echo "$pixfmt $size: $(stat -c %s got.raw) bytes as quillet writes them"
done

# Formats the element takes as they come, against videoconvert to their planar equivalent and
# back, which carries the same samples: element format, planar format, size. Progressive caps
# (the element filters every frame all the same): videoconvert changes interleaved frames; no
# dither (it would alter 10-bit samples); and sizes with no padding (an odd height pads 4:2:0
# planes with a row): padding is nobody's samples.
pairs=(
  "YV12 I420 64x38"
  "NV12 I420 64x38"
  "NV21 I420 64x38"
  "P010_10LE I420_10LE 64x38"
  "YUY2 Y42B 64x38"
  "UYVY Y42B 64x38"
  "YVYU Y42B 64x38"
)
for c in "${pairs[@]}"; do
  read -r format planar size <<< "$c"
  width=${size%x*} height=${size#*x}
  source="videotestsrc num-buffers=6 pattern=ball ! video/x-raw,format=$format,width=$width,height=$height,framerate=25/1"
  gst-launch-1.0 -q $source ! quillet tap=3 next-frame=true ! filesink location=direct.raw
  gst-launch-1.0 -q $source ! videoconvert dither=none ! video/x-raw,format="$planar" ! \
    quillet tap=3 next-frame=true ! videoconvert dither=none ! video/x-raw,format="$format" ! \
    filesink location=converted.raw
  gst-launch-1.0 -q $source ! filesink location=unfiltered.raw
  if ! cmp -s direct.raw converted.raw; then
    echo "$format: the element's output differs from the $planar path's" >&2
    exit 1
  fi
  if cmp -s direct.raw unfiltered.raw; then
    echo "$format: nothing was filtered" >&2
    exit 1
  fi
  echo "$format $size: as through $planar"
done
