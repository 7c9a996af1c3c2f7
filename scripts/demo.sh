#!/usr/bin/env bash
# Builds quillet (release) and runs its built-in demo: a combed clip filtered with the defaults,
# written with a preview picture into ./quillet-demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
# A build directory of its own, so the test script's release build keeps its tests.
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DBUILD_BENCHMARKS=OFF > /dev/null
cmake --build build/demo --target quillet
build/demo/cli/quillet demo "${1:-quillet-demo}"
