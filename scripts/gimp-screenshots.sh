#!/usr/bin/env bash
# Pictures of the module inside Linux image software, as a user sees them:
#   docs/screenshots/gimp.png        GIMP with samples/render.iff open: the colour layer in the
#                                    Layers dock and the Depth channel in the Channels dock
#   docs/screenshots/thumbnails.png  a file-manager-style sheet of thumbnails of a few files, each
#                                    made by gdk-pixbuf-thumbnailer through the installed entry
# Runs GIMP on a virtual X display, with the plug-in and the loader installed into a temporary
# HOME (nothing of the real user's is touched). Not part of the test command. Needs gimp, xvfb and
# imagemagick (import, montage; used only on PNG files).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh imagemagick xvfb xauth x11-utils fonts-dejavu-core

build=build
out=docs/screenshots
mkdir -p "$out"
if [ ! -x "$build/bin/tniff_make_integration_files" ]; then
  mkdir -p "$build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build/configure.log"
fi
cmake --build "$build" -j 2 --target file-tarniff pixbufloader-tarniff TnIffFormat tniff tniff_make_integration_files

work=$(mktemp -d)
display=78
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
cleanup() {
  [ -z "${gimp_pid:-}" ] || kill "$gimp_pid" 2> /dev/null || true
  [ -z "${xvfb_pid:-}" ] || kill "$xvfb_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
       XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/runtime
unset GIMP2_DIRECTORY TNIFF_MODULE GDK_PIXBUF_MODULE_FILE
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
bash scripts/install-integrations.sh --user --build-dir "$build" > "$work/install.log"

# GIMP in one window, with the toolbox on the left and, on the right, the Layers dock above the
# Channels dock.
gimpdir=$XDG_CONFIG_HOME/GIMP/2.10
mkdir -p "$gimpdir"
cat > "$gimpdir/gimprc" <<'RC'
(single-window-mode yes)
(restore-session yes)
(save-session-info no)
(show-welcome-dialog no)
(color-profile-policy keep)
RC
cat > "$gimpdir/sessionrc" <<'RC'
(session-info "toplevel"
    (factory-entry "gimp-single-image-window")
    (position 0 0)
    (size 1280 800)
    (open-on-exit)
    (aux-info
        (left-docks-width "200")
        (right-docks-width "290")
        (maximized "no"))
    (gimp-toolbox
        (side left)
        (book
            (current-page 0)
            (dockable "gimp-tool-options"
                (tab-style automatic)
                (aux-info
                    (show-button-bar "true")))))
    (gimp-dock
        (side right)
        (book
            (position 380)
            (current-page 0)
            (dockable "gimp-layer-list"
                (tab-style automatic)
                (preview-size 48)
                (aux-info
                    (show-button-bar "true"))))
        (book
            (current-page 0)
            (dockable "gimp-channel-list"
                (tab-style automatic)
                (preview-size 48)
                (aux-info
                    (show-button-bar "true"))))))
(hide-docks no)
(single-window-mode yes)
(tabs-position 0)
(last-tip-shown 0)
RC

Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp > /dev/null 2>&1 &
xvfb_pid=$!
sleep 1
export DISPLAY=":$display"
gimp-2.10 --no-splash --no-fonts samples/render.iff > "$work/gimp.log" 2>&1 &
gimp_pid=$!
# The image is open once its name is in the window's title ("[render] (imported)-1.0 ..."); give
# it time to paint after that.
for _ in $(seq 1 120); do
  xwininfo -root -tree 2> /dev/null | grep -q '\[render\]' && break
  sleep 1
done
if ! xwininfo -root -tree 2> /dev/null | grep -q '\[render\]'; then
  import -display ":$display" -window root "$work/failed.png" && cp "$work/failed.png" /tmp/gimp-screenshot-failed.png
  echo "gimp-screenshots: GIMP did not show the image" >&2
  cat "$work/gimp.log" >&2
  exit 1
fi
sleep 8
import -display ":$display" -window root "$out/gimp.png"
echo "wrote $out/gimp.png"

# Thumbnails as the file manager makes them, through the installed thumbnailer entry.
# The sample, files the module writes from variants of it, and two test-side files.
"$build/bin/tniff_make_integration_files" "$work/files"
cp samples/render.iff "$work/files/render.iff"
"$build/bin/tniff" convert -q samples/render.iff "$work/render.png"
convert "$work/render.png" -background white -flatten "$work/opaque.png"
convert "$work/opaque.png" -colorspace Gray "$work/gray.png"
convert "$work/render.png" -crop 150x150+150+20 +repage "$work/crop.png"
for variant in opaque gray crop; do
  "$build/bin/tniff" convert -q "$work/$variant.png" "$work/files/render-$variant.iff"
done
command=$(sed -n 's/^Exec=//p' "$XDG_DATA_HOME/thumbnailers/tarniff.thumbnailer")
tiles=()
for name in render render-opaque render-gray render-crop rgba gray-depth; do
  line=${command//%s/128}; line=${line//%u/file://$work/files/$name.iff}; line=${line//%o/$work/$name.png}
  $line
  tiles+=(-label "$name.iff" "$work/$name.png")
done
montage -background '#f6f5f4' -fill '#2e3436' -font DejaVu-Sans -pointsize 13 "${tiles[@]}" \
  -tile 6x1 -geometry '128x128+14+10' -gravity center "$out/thumbnails.png"
echo "wrote $out/thumbnails.png"
