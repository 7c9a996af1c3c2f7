#!/usr/bin/env bash
# Builds quillet (release) and runs its built-in demo: a combed clip filtered with the defaults,
# written with a preview picture into ./quillet-demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
cmake --preset release -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF > /dev/null
cmake --build --preset release --target quillet
build/release/cli/quillet demo "${1:-quillet-demo}"
