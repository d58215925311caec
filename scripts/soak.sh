#!/usr/bin/env bash
# The long soak: COUNT (default 10000) varied images opened and saved in one process of the native
# build (build/), every result checked; fails when resident memory at the end is more than
# PERCENT (default 5) above its figure after the first 1000 images.
#   bash scripts/soak.sh [COUNT] [PERCENT]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-10000}
percent=${2:-5}
mkdir -p build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build/configure.log 2>&1 \
  || { cat build/configure.log; exit 1; }
cmake --build build -j 2 --target tniff_soak
/usr/bin/time -v build/bin/tniff_soak "$count" --max-growth "$percent" 2> build/soak-time.log
grep -E "Maximum resident|Elapsed" build/soak-time.log
