#!/usr/bin/env bash
# Screenshots of the module's two windows, as a Windows user sees them: the About box (selector 0)
# and the host-insufficient alert (a save on a host without a buffer suite). Runs the Windows host
# program (tests/windows) under Wine on a virtual X display, shoots each window while it is up,
# and closes it. Writes docs/screenshots/about-box.png and docs/screenshots/host-alert.png.
# Not part of the test command. Needs wine64, xvfb and imagemagick (import, convert).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh imagemagick

source scripts/wine_prefix.sh
out=docs/screenshots
mkdir -p "$out" build-wine

[ -f build-win64/TnIffFormat.8bi ] || bash scripts/build-windows.sh win64
hostdir=build-wine/win64
if [ ! -f "$hostdir/windows_host_run.exe" ]; then
  cmake -S tests/windows -B "$hostdir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  cmake --build "$hostdir" -j2
fi

# A prefix of its own, apart from the one the checks use.
prepare_wine_prefix "$root/build-wine/shotprefix"

display=77
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp > /dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2> /dev/null || true' EXIT
sleep 1

shoot() {  # what (about|alert), file name
  local what=$1 file=$2 log="build-wine/show-$1.log"
  # A Wine desktop of its own draws the window frames and captions that a window manager would.
  (cd "$hostdir" && DISPLAY=":$display" "$wine" explorer /desktop=TarnIFF,640x480 \
     windows_host_run.exe --show "$what" "Z:$root/build-win64/TnIffFormat.8bi" 6000) \
    > "$log" 2>&1 &
  local shower=$!
  for _ in $(seq 1 100); do
    grep -q '^shown:' "$log" && break
    sleep 0.2
  done
  if ! grep -q '^shown:' "$log"; then
    echo "windows-screenshots: the $what window did not show" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 1.5  # let it paint
  import -display ":$display" -window root "build-wine/shot-$what.png"
  # The first trim takes off the screen around the Wine desktop, the second the desktop around
  # the window.
  convert "build-wine/shot-$what.png" -trim +repage -trim +repage "$out/$file"
  wait "$shower"  # the program presses OK when its time is up
  echo "wrote $out/$file"
}

shoot about about-box.png
shoot alert host-alert.png
"$wineserver" -w
