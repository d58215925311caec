#!/usr/bin/env bash
# Builds the web page into build-web/site/: the module, host/ and the library compiled to
# WebAssembly with Emscripten (Debian's emscripten package), beside the page's own files. The site
# is static files only; scripts/serve-web.sh serves it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --web
# Debian's Emscripten finds its acorn through Node's module path.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

mkdir -p build-web/wasm build-web/site
if [ ! -f build-web/wasm/CMakeCache.txt ] || [ web/CMakeLists.txt -nt build-web/wasm/CMakeCache.txt ]; then
  emcmake cmake -S web -B build-web/wasm -DCMAKE_BUILD_TYPE=Release > build-web/configure.log 2>&1 \
    || { cat build-web/configure.log; exit 1; }
fi
cmake --build build-web/wasm -j2

site=build-web/site
rm -rf "$site.new"
mkdir -p "$site.new"
cp build-web/wasm/tarniff_web.js build-web/wasm/tarniff_web.wasm "$site.new/"
cp web/site/* "$site.new/"
# The sample: the page offers it to open, and its worker warms up on it.
cp samples/render.iff "$site.new/"
# Every file the page needs offline, with a version that changes whenever any of them does, so
# that the service worker keeps the set it was installed with and replaces it whole.
version=$(cd "$site.new" && cat $(ls | sort) | sha256sum | cut -c1-16)
sed -i "s/@SITE_VERSION@/$version/" "$site.new/offline.js"
rm -rf "$site"
mv "$site.new" "$site"
echo "build-web: $site ($(du -sh "$site" | cut -f1))"
