#!/usr/bin/env bash
# quillet on the engine beside ffmpeg's yadif and bwdif on the video people deinterlace: 1920x1080
# Y4M, woven into fields with interlace=scan=tff:lowpass=off, from three sources - a pan across a
# photograph, a still photograph with a moving window, testsrc2 scrolled. Every command runs on a
# long and a short clip of the same content, so the cost of a frame comes net of start-up:
#   ms a frame = (t(long) - t(short)) / (frames(long) - frames(short)),  median over the runs,
# for wall-clock time and for processor time (user + system of all the command's threads; on a
# busy machine the wall clock says more about the scheduler than about the programs).
# Commands are interleaved run by run (the machine may be shared). ffmpeg runs with -threads 1
# and -filter_threads 1 (bwdif also with -filter_threads 2); quillet with one and two workers.
# Builds nothing; needs ffmpeg, /usr/bin/time and /usr/bin/python3.
#
# usage: bench/compare_y4m.sh QUILLET [FRAMES] [RUNS] [PIXFMT...]
#   FRAMES  frames of the long clip (default 100; the short one has a fifth of them)
#   RUNS    timed runs of every command (default 5)
#   PIXFMT  ffmpeg pixel formats (default: yuv420p yuv420p10le yuv422p10le)
# Clips go to $QUILLET_COMPARE_DIR (default /tmp/quillet-compare); the photograph is
# $QUILLET_PHOTO (default a mate-backgrounds picture).
set -euo pipefail

usage="usage: $0 QUILLET [FRAMES] [RUNS] [PIXFMT...]"
quillet=$(realpath "${1:?$usage}")
frames=${2:-100}
runs=${3:-5}
shift $(($# < 3 ? $# : 3))
formats=("$@")
[[ ${#formats[@]} -gt 0 ]] || formats=(yuv420p yuv420p10le yuv422p10le)
dir=${QUILLET_COMPARE_DIR:-/tmp/quillet-compare}
photo=${QUILLET_PHOTO:-/usr/share/backgrounds/mate/nature/Dune.jpg}
short=$((frames / 5))
for tool in ffmpeg /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found" >&2; exit 2; }
done
[[ -f $photo ]] || { echo "$0: no photograph at $photo (Debian: mate-backgrounds)" >&2; exit 2; }
mkdir -p "$dir"

# The progressive source of each clip at 50 frames a second; interlace= weaves two into one.
source_of() {
  case $1 in
    pan) echo "-loop 1 -framerate 50 -i $photo -vf scale=3840:-2,crop=1920:1080:x='min(n*6\,1900)':y='min(n*2\,200)'" ;;
    window) echo "-loop 1 -framerate 50 -i $photo -f lavfi -i testsrc2=s=480x270:r=50 -filter_complex [0]scale=1920:1080[bg];[bg][1]overlay=x='200+mod(n*8\,1200)':y=400" ;;
    testsrc2) echo "-f lavfi -i testsrc2=s=1920x1080:r=50 -vf scroll=vertical=0.003" ;;
  esac
}

make_clip() {  # source pixfmt frames -> path
  local clip=$dir/$1-1920x1080-$2-$3.y4m
  if [[ ! -f $clip ]]; then
    local src filter
    src=$(source_of "$1")
    # The weave and the format go after the source's own filters.
    if [[ $src == *"-filter_complex "* ]]; then
      filter="[v];[v]interlace=scan=tff:lowpass=off,format=$2"
      # shellcheck disable=SC2086
      ffmpeg -nostdin -hide_banner -loglevel error -y ${src}${filter} -frames:v "$3" -strict -1 \
        "$clip.part.y4m"
    else
      # shellcheck disable=SC2086
      ffmpeg -nostdin -hide_banner -loglevel error -y ${src},interlace=scan=tff:lowpass=off,format=$2 \
        -frames:v "$3" -strict -1 "$clip.part.y4m"
    fi
    mv "$clip.part.y4m" "$clip"
  fi
  echo "$clip"
}

# name|command with CLIP where the clip goes
commands=(
  "quillet-t1|$quillet --threads 1 CLIP /dev/null"
  "quillet-t1-tap6|$quillet --threads 1 --tap 6 CLIP /dev/null"
  "quillet-t2|$quillet --threads 2 CLIP /dev/null"
  "ffmpeg-read|ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 -i CLIP -vf null -f null -"
  "yadif-t1|ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 -i CLIP -vf yadif=mode=send_frame -f null -"
  "bwdif-t1|ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 1 -i CLIP -vf bwdif=mode=send_frame -f null -"
  "bwdif-t2|ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -filter_threads 2 -i CLIP -vf bwdif=mode=send_frame -f null -"
)

echo "processor: $(lscpu | sed -n 's/^Model name: *//p'), family $(lscpu | sed -n 's/^CPU family: *//p') model $(lscpu | sed -n 's/^Model: *//p')"
echo "frames $frames vs $short, $runs interleaved runs, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
results=$dir/times.txt
: >"$results"
for fmt in "${formats[@]}"; do
  for src in pan window testsrc2; do
    long=$(make_clip "$src" "$fmt" "$frames")
    brief=$(make_clip "$src" "$fmt" "$short")
    for ((run = 0; run < runs; ++run)); do
      for entry in "${commands[@]}"; do
        name=${entry%%|*}
        for clip in "$brief" "$long"; do
          cmd=${entry#*|}
          n=$([[ $clip == "$long" ]] && echo "$frames" || echo "$short")
          # Wall time, and user + system time of every thread of the command.
          /usr/bin/time -o "$dir/time.out" -f "%e %U %S" ${cmd//CLIP/$clip} >/dev/null
          echo "$fmt $src $name $n $(cat "$dir/time.out")" >>"$results"
        done
      done
    done
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

/usr/bin/python3 - "$results" <<'EOF'
import collections, statistics, sys
wall, cpu = collections.defaultdict(list), collections.defaultdict(list)
for line in open(sys.argv[1]):
    fmt, src, name, n, elapsed, user, system = line.split()
    wall[(fmt, src, name, int(n))].append(float(elapsed))
    cpu[(fmt, src, name, int(n))].append(float(user) + float(system))
def per_frame(times, fmt, src, name):
    ns = sorted(n for (f, s, c, n) in times if (f, s, c) == (fmt, src, name))
    lo, hi = ns[0], ns[-1]
    return 1000 * (statistics.median(times[(fmt, src, name, hi)]) -
                   statistics.median(times[(fmt, src, name, lo)])) / (hi - lo)
keys = sorted({(f, s) for (f, s, c, n) in wall})
names = ["quillet-t1", "quillet-t1-tap6", "quillet-t2", "yadif-t1", "bwdif-t1", "bwdif-t2",
         "ffmpeg-read"]
for title, times in (("wall-clock", wall), ("processor (user + system, all threads)", cpu)):
    print("\nms a frame net of start-up, %s time, median:" % title)
    print("| clip | format | " + " | ".join(names) +
          " | t1 vs best of yadif/bwdif t1 | tap6 vs same | t2 vs bwdif t2 |")
    print("|" + "---|" * (len(names) + 5))
    for fmt, src in keys:
        ms = {n: per_frame(times, fmt, src, n) for n in names}
        best = min(ms["yadif-t1"], ms["bwdif-t1"])
        row = [src, fmt] + ["%.2f" % ms[n] for n in names]
        row += ["%.2fx" % (best / ms["quillet-t1"]), "%.2fx" % (best / ms["quillet-t1-tap6"]),
                "%.2fx" % (ms["bwdif-t2"] / ms["quillet-t2"])]
        print("| " + " | ".join(row) + " |")
EOF
