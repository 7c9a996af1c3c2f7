#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# Usage: scripts/install-deps.sh [native|all]   (native: enough to build and run the demo; all:
# also the tests, the Windows build and the Python and GStreamer integrations)
set -euo pipefail
what=${1:-all}

native=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libpng-dev
        pkg-config
        # quillet IN OUT on video files (without them: Y4M and raw frames only)
        libavformat-dev libavcodec-dev libavutil-dev libswscale-dev)
tests=(ffmpeg clang libclang-rt-14-dev clang-format g++-mingw-w64-i686 wine wine32:i386
       binutils-mingw-w64-i686 parallel hyperfine jq
       # The Python module and the GStreamer element, their tests and the video example.
       python3-dev pybind11-dev python3-numpy python3-pytest python3-av
       libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
       gstreamer1.0-plugins-base gstreamer1.0-plugins-good
       # The README's GStreamer pipeline on a video file: parsers and decoders.
       gstreamer1.0-plugins-bad gstreamer1.0-libav
       # The comb detector's held-out clips (bench/comb_material.sh).
       mate-backgrounds fonts-dejavu-core)

wanted=("${native[@]}")
[ "$what" = all ] && wanted+=("${tests[@]}")

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  $sudo dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
