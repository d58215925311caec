#!/usr/bin/env bash
# The web page's tests: builds the page (scripts/build-web.sh) and, unless one is named, a native
# tniff of the same tree (build-web/native), makes the test files, asks tniff what each must give, serves the site with
# the files on 127.0.0.1 and checks the page in headless Chromium and Firefox (page_test.js:
# playwright-core and puppeteer-core from the npm registry driving Debian's chromium and
# firefox-esr).
#   bash web/tests/run.sh [--native BUILD_DIR] [--screenshot PNG]
# --native names a native build of this tree whose bin/tniff gives the expected values (the test
# command passes its own); without it, one is built in build-web/native.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

native=""
if [ "${1:-}" = "--native" ]; then
  native=$2
  shift 2
fi

bash scripts/build-web.sh
mkdir -p build-web/native
if [ -z "$native" ]; then
  echo "== web: native tniff for the expected values"
  native=build-web/native
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DTNIFF_BUILD_TESTS=OFF -DTNIFF_WERROR=ON \
    > "$native/configure.log" 2>&1 || { cat "$native/configure.log"; exit 1; }
  cmake --build "$native" -j2 --target tniff TnIffFormat > "$native/build.log" 2>&1 \
    || { tail -40 "$native/build.log"; exit 1; }
fi
tniff="$root/$native/bin/tniff"
case $native in /*) tniff="$native/bin/tniff" ;; esac
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
python3 web/tests/expect.py "$tniff" "$test_site/files" 1073741824 > build-web/cases.json

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
firefox=()
if command -v firefox-esr > /dev/null; then
  firefox=(--firefox "$(command -v firefox-esr)")
  echo "== web: the page in headless Chromium and Firefox"
else
  echo "== web: the page in headless Chromium (no firefox-esr here: bash scripts/setup.sh --web installs it)"
fi
node web/tests/page_test.js "http://127.0.0.1:$port" build-web/cases.json "$root/$test_site/files" \
  --tniff "$tniff" "${firefox[@]}" "$@"
