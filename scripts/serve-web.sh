#!/usr/bin/env bash
# Serves the web page built by scripts/build-web.sh on this machine only (127.0.0.1), with
# python3's http.server. Usage: bash scripts/serve-web.sh [PORT]   (default 8000)
set -euo pipefail
cd "$(dirname "$0")/.."
port=${1:-8000}
site=build-web/site
if [ ! -f "$site/index.html" ]; then
  echo "serve-web: no $site/index.html; run bash scripts/build-web.sh first" >&2
  exit 1
fi
echo "serve-web: http://127.0.0.1:$port/ (Ctrl-C stops it)"
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory "$site"
