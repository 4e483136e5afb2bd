#!/usr/bin/env bash
# Builds the library and runs the example host program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$(nproc)" --target zv-quickstart
./build/release/examples/zv-quickstart "$@"
