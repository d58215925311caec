#!/usr/bin/env bash
# The web page's tests: builds the page (scripts/build-web.sh) and a native tniff of the same tree
# (build-web/native), makes the test files, asks tniff what each must give, serves the site with
# the files on 127.0.0.1 and checks the page in headless Chromium (page_test.js, playwright-core
# from the npm registry driving Debian's chromium).
#   bash web/tests/run.sh [--screenshot PNG]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

bash scripts/build-web.sh
echo "== web: native tniff for the expected values"
mkdir -p build-web/native
cmake -S . -B build-web/native -DCMAKE_BUILD_TYPE=Release -DTNIFF_BUILD_TESTS=OFF -DTNIFF_WERROR=ON \
  > build-web/native/configure.log 2>&1 || { cat build-web/native/configure.log; exit 1; }
cmake --build build-web/native -j2 --target tniff TnIffFormat > build-web/native/build.log 2>&1 \
  || { tail -40 build-web/native/build.log; exit 1; }
c++ -std=c++17 -O2 -Wall -Wextra -Werror -I. web/tests/make_web_files.cpp tests/support/iff_builder.cpp \
  -o build-web/native/make_web_files

echo "== web: test files and what tniff gives for them"
test_site=build-web/test-site
rm -rf "$test_site"
cp -r build-web/site "$test_site"
mkdir -p "$test_site/files"
build-web/native/make_web_files "$test_site/files"
cp samples/render.iff "$test_site/files/"
# The page's image-size limit, as the library works it out in the browser: the WebAssembly
# memory is at most 2 GiB, so half of it is tniff's floor of 1 GiB.
python3 web/tests/expect.py build-web/native/bin/tniff "$test_site/files" 1073741824 > build-web/cases.json

command -v npm > /dev/null || bash scripts/setup.sh --web npm
(cd web/tests && npm ci --no-audit --no-fund --silent)

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$test_site" > build-web/server.log 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.html')" 2>/dev/null && break
  sleep 0.1
done
echo "== web: the page in headless Chromium"
node web/tests/page_test.js "http://127.0.0.1:$port" build-web/cases.json "$root/$test_site/files" \
  --tniff "$root/build-web/native/bin/tniff" "$@"
