#!/usr/bin/env bash
# Makes the held-out clips the comb detector is judged on (docs/DEINT.md): 720x480, 8-bit 4:2:0,
# 30 frames each, from Debian's mate-backgrounds photographs and ffmpeg's own sources. Every
# source runs at 50 frames a second and gives two clips: `NAME-woven.y4m`, two frames woven into
# one of 25 (top field first, no low-pass), and `NAME-prog.y4m`, every other frame (progressive
# at 25). Pans, zooms, a still photo with a small moving window, sensor-like and film-like grain
# of several strengths on still and moving pictures, rolling credits, slow vertical pans,
# one-row stripes, testsrc2, smptebars, mandelbrot, cuts and fades.
#
# A second set, `heldout`, judges what was tuned on the first: other photographs, speeds, grain
# strengths and seeds, credits text, and the bottom field first. `heldout2` is `heldout` with
# another mapping of the photographs and another grain seed, kept for a last check.
#
# usage: bench/comb_material.sh DIR [heldout|heldout2]    (needs ffmpeg, mate-backgrounds, fonts-dejavu-core)
set -euo pipefail

dir=${1:?usage: $0 DIR [heldout|heldout2]}
set_=${2:-tuning}
mkdir -p "$dir"
photos=/usr/share/backgrounds/mate
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
[[ -d $photos ]] || { echo "$0: $photos missing (apt-get install mate-backgrounds)" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "$0: ffmpeg not found" >&2; exit 2; }

size=720x480
frames=60 # at 50 a second: 30 in each clip

# What the held-out set changes: field order, photographs (each name maps to another), speeds
# (the clips keep the tuning set's names), grain strengths and seed, credits.
field=tff seed='' grains="10 20 30 45" films="20 40" credit=Assistant
sp=(4 3 2 2 1 4 1 4 2 4 3) # pan-h, pan-diag x/y, vpan-2, vpan-1, vpan-4, hpan-1, window x, credits
declare -A swap=()
if [[ $set_ == heldout || $set_ == heldout2 ]]; then
  turn=5
  field=bff seed=7 grains="15 25 35 50" films="30 50" credit=Operator
  sp=(5 2 3 3 1 5 1 3 4 3 5)
  names=(Aqua Blinds Dune FreshFlower Garden GreenMeadow LadyBird RainDrops Storm TwoWings Wood YellowFlower)
  [[ $set_ == heldout2 ]] && turn=8 seed=23
  for i in "${!names[@]}"; do
    swap[nature/${names[i]}.jpg]=nature/${names[(i + turn) % ${#names[@]}]}.jpg
  done
  swap[abstract/Silk.png]=abstract/Flow.png
  swap[abstract/Waves.png]=abstract/Spring.png
  swap[abstract/Elephants.jpg]=abstract/Gulp.png
elif [[ $set_ != tuning ]]; then
  echo "usage: $0 DIR [heldout|heldout2]" >&2
  exit 2
fi

# Rolling credits: lines of names, centred.
credits=$dir/credits.txt
for i in $(seq 1 60); do
  printf '%s %02d to the Second Unit      Firstname Lastname-%d\n' "$credit" "$i" $((i * 7 % 13))
done >"$credits"

# make NAME INPUT-ARGS... -- FILTER: the 50p source as the input arguments and a filter graph.
make() {
  local name=$1
  shift
  local args=()
  while [[ $1 != -- ]]; do
    args+=("$1")
    shift
  done
  local graph=$2
  for kind in woven prog; do
    local out=$dir/$name-$kind.y4m
    [[ -s $out ]] && continue
    local last
    if [[ $kind == woven ]]; then
      last="interlace=scan=$field:lowpass=off"
    else
      last="framestep=2"
    fi
    ffmpeg -nostdin -hide_banner -loglevel error -y "${args[@]}" \
      -filter_complex "$graph,format=yuv420p,$last" -frames:v 30 -pix_fmt yuv420p "$out.part.y4m"
    mv "$out.part.y4m" "$out"
  done
}

photo() { printf '%s' "-loop 1 -framerate 50 -i $photos/${swap[$1]:-$1}"; }
lavfi() { printf '%s' "-f lavfi -i $1"; }

# Pans over a photo scaled to 1600 wide: speed in whole pixels per 50p frame. The crops are
# exact: a crop of 4:2:0 otherwise rounds x and y down to even, which turns a pan of one pixel
# a frame into one of two pixels every other frame, and its woven frames into progressive ones.
pan() { # NAME PHOTO DX DY [EXTRA]
  # shellcheck disable=SC2046
  make "$1" $(photo "$2") -t 1.2 -- \
    "scale=1600:-2,crop=720:480:x='40+$3*n':y='40+$4*n':exact=1${5:+,$5}"
}
pan pan-h nature/Garden.jpg "${sp[0]}" 0
pan pan-diag nature/LadyBird.jpg "${sp[1]}" "${sp[2]}"
pan vpan-2 nature/Dune.jpg 0 "${sp[3]}"
pan vpan-1 nature/Wood.jpg 0 "${sp[4]}"
pan vpan-4 nature/Aqua.jpg 0 "${sp[5]}"
pan hpan-1 nature/RainDrops.jpg "${sp[6]}" 0
# Half a row a frame: one row a frame at twice the size, scaled down.
# shellcheck disable=SC2046
make vpan-05 $(photo nature/Storm.jpg) -t 1.2 -- \
  "scale=3200:-2,crop=1440:960:x=80:y='80+n':exact=1,scale=720:480"

# A slow zoom.
# shellcheck disable=SC2046
make zoom $(photo nature/YellowFlower.jpg) -t 1.2 -- \
  "scale=w='1440*(1+0.004*n)':h=-2:eval=frame,crop=720:480"

# A still photo with a window moving over it: 5 % and 1 % of the frame.
window() { # NAME W H
  # shellcheck disable=SC2046
  make "$1" $(photo nature/Garden.jpg) $(photo nature/TwoWings.jpg) -t 1.2 -- \
    "[1]scale=1600:-2,crop=$2:$3:x='100+3*n':y=200:exact=1[w];[0]scale=720:480[b];[b][w]overlay=x='200+${sp[7]}*n':y='150+n':format=yuv444"
}
window window-5 160 108
window window-1 72 48

# Grain: sensor-like (new noise at every pixel and frame) and film-like (softened), on a still
# and on a moving photo.
for s in $grains; do
  # shellcheck disable=SC2046
  make grain-still-$s $(photo nature/GreenMeadow.jpg) -t 1.2 -- \
    "scale=720:480,noise=alls=$s:allf=t${seed:+:all_seed=$seed}"
  pan grain-pan-$s nature/FreshFlower.jpg 2 1 "noise=alls=$s:allf=t${seed:+:all_seed=$seed}"
done
for s in $films; do
  # shellcheck disable=SC2046
  make film-still-$s $(photo nature/Blinds.jpg) -t 1.2 -- \
    "scale=1440:960,noise=alls=$s:allf=t${seed:+:all_seed=$seed},gblur=sigma=0.8,scale=720:480"
  pan film-pan-$s nature/TwoWings.jpg 3 0 "noise=alls=$s:allf=t${seed:+:all_seed=$seed},gblur=sigma=0.7"
done

# Rolling credits, 2 and 4 pixels a 50p frame; then over a still photo.
for v in "${sp[8]}" "${sp[9]}"; do
  if [[ -f $font ]]; then
    text="drawtext=fontfile=$font:textfile=$credits:fontsize=24:fontcolor=white:x=(w-text_w)/2:y=h-200-$v*n:line_spacing=14"
  else
    text="drawbox=x=200:y=ih-$v*n:w=320:h=20:c=white:t=fill"
  fi
  # shellcheck disable=SC2046
  make credits-$v $(lavfi "color=c=black:s=$size:r=50") -t 1.2 -- "$text"
done
# shellcheck disable=SC2046
make credits-photo $(photo abstract/Silk.png) -t 1.2 -- \
  "scale=720:480,drawtext=fontfile=$font:textfile=$credits:fontsize=22:fontcolor=white:borderw=2:x=(w-text_w)/2:y=h-200-${sp[10]}*n:line_spacing=12"

# One-row stripes: still with a moving window, and drifting vertically (0.3 rows a frame).
# shellcheck disable=SC2046
make stripes-window $(lavfi "color=c=gray:s=$size:r=50") $(photo nature/Aqua.jpg) -t 1.2 -- \
  "[0]geq=lum='if(mod(Y\,2)\,200\,60)':cb=128:cr=128[s];[1]scale=200:-2,crop=120:90[w];[s][w]overlay=x='100+5*n':y=180:format=yuv444"
# shellcheck disable=SC2046
make stripes-drift $(lavfi "color=c=gray:s=$size:r=50") -t 1.2 -- \
  "geq=lum='128+90*cos(PI*(Y-0.3*N))':cb=128:cr=128"

# ffmpeg's own pictures: testsrc2 as it is and scrolled, smptebars scrolled, mandelbrot.
# shellcheck disable=SC2046
make testsrc2 $(lavfi "testsrc2=s=$size:r=50") -t 1.2 -- "null"
# shellcheck disable=SC2046
make testsrc2-scroll $(lavfi "testsrc2=s=$size:r=50") -t 1.2 -- "scroll=v=0.003:h=0.002"
# shellcheck disable=SC2046
make smptebars $(lavfi "smptebars=s=$size:r=50") -t 1.2 -- "scroll=h=0.004"
# shellcheck disable=SC2046
make mandelbrot $(lavfi "mandelbrot=s=$size:r=50") -t 1.2 -- "null"

# Cuts every 7 frames between three pans, and fades through black on a pan.
# shellcheck disable=SC2046
make cuts $(photo nature/Garden.jpg) $(photo nature/Dune.jpg) $(photo abstract/Elephants.jpg) -t 1.2 -- \
  "[0]scale=1600:-2,crop=720:480:x='4*n':y=40:exact=1[a];[1]scale=1600:-2,crop=720:480:x=100:y='40+2*n':exact=1[b];[2]scale=1600:-2,crop=720:480:x='300-3*n':y=60:exact=1[c];[a][b]blend=all_expr='if(lt(mod(N\,21)\,7)\,A\,B)'[ab];[ab][c]blend=all_expr='if(gte(mod(N\,21)\,14)\,B\,A)'"
# shellcheck disable=SC2046
make fades $(photo abstract/Waves.png) -t 1.2 -- \
  "scale=1600:-2,crop=720:480:x='3*n':y=40:exact=1,format=yuv444p,geq=lum='(p(X,Y)-16)*min(1,abs(T-0.6)*2.5)+16':cb='(p(X,Y)-128)*min(1,abs(T-0.6)*2.5)+128':cr='(p(X,Y)-128)*min(1,abs(T-0.6)*2.5)+128'"
rm -f "$credits"
# A woven clip with the same frames as its progressive twin holds no combing: its source did not
# move between the fields it was woven from.
for woven in "$dir"/*-woven.y4m; do
  if cmp -s <(tail -n +2 "$woven") <(tail -n +2 "${woven%-woven.y4m}-prog.y4m"); then
    echo "$0: $woven has the frames of its progressive twin" >&2
    exit 1
  fi
done
ls "$dir"/*.y4m | wc -l
