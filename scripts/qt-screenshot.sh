#!/usr/bin/env bash
# A real Qt viewer (lximage-qt) opening the sample through the Qt image plug-in of a build:
#   bash scripts/qt-screenshot.sh [--check] [BUILD_DIR]      (default build/)
# Without --check: writes docs/screenshots/qt-viewer.png, the viewer's window with
# samples/render.iff open. With --check (the integration checks): only tells, in the checks'
# "ok:"/"FAIL:" lines, whether the viewer shows the sample at its size (lximage-qt puts the size
# of the image it read in its window's title, or "Failed to Load") and shows no image for a file
# cut short, with tniff's words on its standard error.
# Runs on a virtual X display with a temporary HOME (nothing of the real user's is touched), the
# plug-in found through QT_PLUGIN_PATH. Needs lximage-qt, xvfb, x11-utils, dbus and, without
# --check, imagemagick (import).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
build=$(cd "${1:-build}" && pwd)
bin=$build/bin
for needed in "$build/qt-plugins/imageformats/libqtarniff.so" "$bin/TnIffFormat.so" "$bin/tniff"; do
  [ -e "$needed" ] || { echo "qt-screenshot: $needed is not built" >&2; exit 1; }
done
if [ "$check" = 0 ]; then
  # Everything the checks use, the viewer among it (without its recommended packages).
  bash scripts/setup.sh imagemagick fonts-dejavu-core
fi

work=$(mktemp -d)
display=83
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
viewer_pid=""
cleanup() {
  [ -z "$viewer_pid" ] || kill "$viewer_pid" 2> /dev/null || true
  [ -z "${xvfb_pid:-}" ] || kill "$xvfb_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
       XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/runtime
export QT_PLUGIN_PATH=$build/qt-plugins
unset TNIFF_MODULE QT_QPA_PLATFORM
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
Xvfb ":$display" -screen 0 1024x700x24 -nolisten tcp > /dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 1 50); do xwininfo -root > /dev/null 2>&1 && break; sleep 0.2; done

# The viewer's window title, once it has one that names the file (30 s at most); "" if none.
title_for() {  # file
  local line
  for _ in $(seq 1 60); do
    line=$(xwininfo -root -tree 2> /dev/null | grep -F "\"$1" | head -1 || true)
    [ -n "$line" ] && { sed 's/^[^"]*"\([^"]*\)".*/\1/' <<< "$line"; return; }
    sleep 0.5
  done
}
# lximage-qt, a single-instance program, needs a session bus of its own.
open_in_viewer() {  # file
  dbus-run-session -- lximage-qt "$1" > "$work/viewer.log" 2>&1 &
  viewer_pid=$!
}
close_viewer() {
  kill "$viewer_pid" 2> /dev/null || true
  wait "$viewer_pid" 2> /dev/null || true
  viewer_pid=""
}

cp samples/render.iff "$work/render.iff"
size=$("$bin/tniff" info "$work/render.iff" | sed -n 's/^  image *\([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
open_in_viewer "$work/render.iff"
title=$(title_for "$work/render.iff")
if [ "$check" = 1 ]; then
  failures=0
  if [[ "$title" == *"render.iff ($size)"* ]]; then
    echo "ok: lximage-qt opens the sample through the plug-in at its size (title \"$title\")"
  else
    echo "FAIL: lximage-qt did not show the sample at $size (title \"$title\")"; cat "$work/viewer.log"
    failures=1
  fi
  close_viewer
  head -c 20000 samples/render.iff > "$work/cut.iff"
  open_in_viewer "$work/cut.iff"
  title=$(title_for "$work/cut.iff")
  # lximage-qt hands the plug-in the file's bytes in a buffer of no name.
  if [[ "$title" == *"cut.iff (Failed to Load)"* ]] &&
     grep -qF "tarniff: the .iff file: truncated: the module read only " "$work/viewer.log"; then
    echo "ok: lximage-qt shows no image for a file cut short (title \"$title\"), and tniff's words are on its output"
  else
    echo "FAIL: lximage-qt on a file cut short (title \"$title\")"; cat "$work/viewer.log"
    failures=1
  fi
  exit "$failures"
fi
[ -n "$title" ] || { echo "qt-screenshot: lximage-qt showed no window" >&2; cat "$work/viewer.log" >&2; exit 1; }
sleep 2
window=$(xwininfo -root -tree | grep -F "\"$title\"" | awk '{ print $1 }' | head -1)
mkdir -p docs/screenshots
import -display "$DISPLAY" -window "$window" docs/screenshots/qt-viewer.png
echo "wrote docs/screenshots/qt-viewer.png ($title)"
