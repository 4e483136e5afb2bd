#!/usr/bin/env bash
# Builds the library and runs the demo host program, zv-demo: the life of an
# index on a synthetic dataset, timed step by step. Arguments go to zv-demo,
# e.g. `bash scripts/demo.sh --base sift_base.fvecs --queries sift_query.fvecs`
# (`--help` lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$(nproc)" --target zv-demo
./build/release/examples/zv-demo "$@"
