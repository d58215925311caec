#!/usr/bin/env bash
# The quick start: installs what is missing for the native build (scripts/setup.sh --native), builds the module and the tniff
# command into build/, and converts the sample render samples/render.iff through the module into
# a PNG of its colour image and a PNG of its depth buffer, in out/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --native

echo "== build build/ (the module and tniff)"
mkdir -p build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build/quickstart-configure.log 2>&1 \
  || { cat build/quickstart-configure.log; exit 1; }
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target tniff

echo "== convert samples/render.iff"
mkdir -p out
build/bin/tniff info samples/render.iff > build/sample-info.txt
sed -n '1,3p' build/sample-info.txt
build/bin/tniff convert samples/render.iff out/render.png --depth out/render-depth.png

echo
echo "quickstart: done"
echo "  colour image (RGBA): $PWD/out/render.png"
echo "  depth buffer (gray): $PWD/out/render-depth.png"
echo "  the tool:            $PWD/build/bin/tniff --help"
