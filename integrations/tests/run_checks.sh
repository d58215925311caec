#!/usr/bin/env bash
# The GIMP plug-in, the GdkPixbuf loader and the Qt image plug-in, checked against tniff through
# the same module:
#   bash integrations/tests/run_checks.sh BUILD_DIR
# Installs both with scripts/install-integrations.sh --user into a temporary HOME (nothing of the
# real user's is touched), then:
#  - GIMP (gimp-console, batch Script-Fu): opens the sample and test files, exports the colour
#    layer and the Depth channel as PNG, which must equal tniff's PNG and --depth PNG; exports a
#    PNG-loaded RGBA and a gray image and an opened file with depth to .iff, which must equal
#    `tniff convert`'s bytes; an export of an image with a Depth or other channel notes on stderr
#    that it is not saved; a depth buffer alone opens as one gray layer named Depth, tniff's
#    gray PNG of it, with tniff's note on stderr; a broken and a truncated file, and files whose
#    tiles do not cover the image, give tniff's error, no image, no file; no plug-in crashes;
#    without a module beside the plug-in, $TNIFF_MODULE names the one it loads.
#  - GdkPixbuf: the loader (from file and fed in pieces) and gdk-pixbuf-thumbnailer through the
#    installed thumbnailer entry give tniff's pixels; a smaller size asked gives the averages of
#    them; a 32767 x 32767 file is thumbnailed and a sparse 2 GiB file opens within 1 GiB of
#    address space; the size is known from the header alone; refusals have tniff's words; every
#    damaged file loads or is refused.
#  - Qt: QImageReader, the plug-in found through QT_PLUGIN_PATH, reads the sample and the test
#    files as tniff does (from a file, from a buffer of no name, by content under a name without
#    extension, in 8 threads at once), alpha and resolution kept; the size and format asked
#    before a read are the image's and take at most 64 KiB of the file; refusals read no image
#    and say tniff's words; every damaged file reads or is refused; lximage-qt opens the sample
#    on a virtual display (scripts/qt-screenshot.sh --check).
set -euo pipefail
build=$(cd "${1:?usage: run_checks.sh BUILD_DIR}" && pwd)
cd "$(dirname "$0")/../.."
source=$PWD
bin=$build/bin
for needed in file-tarniff libpixbufloader-tarniff.so tniff tniff_pixbuf_check tniff_make_integration_files \
              tniff_qt_check ../qt-plugins/imageformats/libqtarniff.so; do
  [ -e "$bin/$needed" ] || { echo "integration checks: $bin/$needed is not built" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
       XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/runtime
unset GIMP2_DIRECTORY TNIFF_MODULE GDK_PIXBUF_MODULE_FILE DISPLAY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
files=$work/files out=$work/out
mkdir -p "$out"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

"$bin/tniff_make_integration_files" "$files"
cp "$source/samples/render.iff" "$files/render.iff"
bash scripts/install-integrations.sh --user --build-dir "$build" > "$work/install.log" \
  || { cat "$work/install.log"; exit 1; }
loaders_cache=$HOME/.local/lib/tarniff/loaders.cache
grep -q libpixbufloader-tarniff "$loaders_cache" || fail "the loaders cache does not list the loader"

colour_files="render gray rgb-raw rgb-compressed rgba rgba-depth gray-depth"
depth_files="render rgba-depth gray-depth"
for name in $colour_files; do "$bin/tniff" convert -q "$files/$name.iff" "$out/$name.tniff.png"; done
for name in $depth_files; do
  "$bin/tniff" convert -q "$files/$name.iff" "$out/$name.x.png" --depth "$out/$name.depth.tniff.png"
done
"$bin/tniff" convert -q "$out/rgba.tniff.png" "$out/rgba-export.tniff.iff"
"$bin/tniff" convert -q "$out/gray.tniff.png" "$out/gray-export.tniff.iff"
"$bin/tniff" convert "$files/depth-only.iff" "$out/depth-only.tniff.png" 2> "$work/depth-only-note.txt"

# PNG files compare through GdkPixbuf's own PNG loader; .iff files through ours.
# Every load has a time limit: a loader that hangs fails the check instead of the run.
pixbuf_check() { timeout 60 "$bin/tniff_pixbuf_check" "$@"; }
same() { GDK_PIXBUF_MODULE_FILE=$loaders_cache pixbuf_check same "$1" "$2"; }

# ---- GIMP ----------------------------------------------------------------------------------
scm=$work/checks.scm defs=$work/definitions.scm
cat > "$defs" <<'SCHEME'
(define last-error "")
(define (try-load path)
  (let ((saved *error-hook*))
    (set! *error-hook* (lambda args (set! last-error (car args)) (saved "failed")))
    (let ((result (catch #f (car (file-tarniff-load RUN-NONINTERACTIVE path path)))))
      (set! *error-hook* saved)
      result)))
(define (report . words) (gimp-message (apply string-append "check: " words)))
(define (first-layer image) (aref (cadr (gimp-image-get-layers image)) 0))
(define (save-png image drawable path)
  (file-png-save2 RUN-NONINTERACTIVE image drawable path path 0 9 0 0 0 0 0 0 1))
(define (open-and-export in out depth-out)
  (let* ((image (car (file-tarniff-load RUN-NONINTERACTIVE in in)))
         (channels (gimp-image-get-channels image)))
    (save-png image (first-layer image) out)
    (report in " layers " (number->string (car (gimp-image-get-layers image)))
            " channels " (number->string (car channels))
            " resolution " (number->string (car (gimp-image-get-resolution image)))
            " name " (car (gimp-image-get-filename image)))
    (when (> (car channels) 0)
      (let ((channel (aref (cadr channels) 0)))
        (report in " channel " (car (gimp-item-get-name channel))
                " visible " (number->string (car (gimp-item-get-visible channel))))
        (gimp-edit-copy channel)
        (let ((depth (car (gimp-edit-paste-as-new-image))))
          (save-png depth (first-layer depth) depth-out)
          (gimp-image-delete depth))))
    (gimp-image-delete image)))
(define (report-layer image what)
  (let ((layer (first-layer image)))
    (report what " layer " (car (gimp-item-get-name layer))
            " gray " (number->string (car (gimp-drawable-is-gray layer))))))
(define (export-png-as-iff in out)
  (let ((image (car (file-png-load RUN-NONINTERACTIVE in in))))
    (file-tarniff-save RUN-NONINTERACTIVE image (first-layer image) out out)
    (gimp-image-delete image)))
(define (export-iff image out)
  (file-tarniff-save RUN-NONINTERACTIVE image (first-layer image) out out)
  (gimp-image-delete image))
(define (expect-refused in out)
  (let ((image (try-load in)))
    (if image
        (begin (report in " opened, expected a refusal") (save-png image (first-layer image) out))
        (report in " refused: " last-error))
    (report in " images open " (number->string (car (gimp-image-list))))))
SCHEME
{
  echo "(load \"$defs\")"
  for name in $colour_files; do
    echo "(open-and-export \"$files/$name.iff\" \"$out/$name.gimp.png\" \"$out/$name.depth.gimp.png\")"
  done
  # A depth buffer alone: one gray layer of the depth, named so, and no channel.
  echo "(open-and-export \"$files/depth-only.iff\" \"$out/depth-only.gimp.png\" \"$out/depth-only.depth.gimp.png\")"
  echo "(let ((image (car (file-tarniff-load RUN-NONINTERACTIVE \"$files/depth-only.iff\" \"\"))))"
  echo "  (report-layer image \"depth-only.iff\") (gimp-image-delete image))"
  echo "(export-png-as-iff \"$out/rgba.tniff.png\" \"$out/rgba-export.gimp.iff\")"
  echo "(export-png-as-iff \"$out/gray.tniff.png\" \"$out/gray-export.gimp.iff\")"
  echo "(expect-refused \"$files/broken.iff\" \"$out/broken.gimp.png\")"
  for name in truncated no-tiles few-tiles damaged-tile; do
    echo "(expect-refused \"$files/$name.iff\" \"$out/$name.gimp.png\")"
  done
  # Exports of images with channels: the Depth channel an open makes, and a channel of the user's.
  echo "(export-iff (car (file-tarniff-load RUN-NONINTERACTIVE \"$files/rgba-depth.iff\" \"\"))"
  echo "            \"$out/rgba-depth-export.gimp.iff\")"
  echo "(let* ((image (car (file-png-load RUN-NONINTERACTIVE \"$out/rgba.tniff.png\" \"\")))"
  echo "       (mask (car (gimp-channel-new image 100 100 \"Mask\" 50 '(0 0 0)))))"
  echo "  (gimp-image-insert-channel image mask 0 0)"
  echo "  (export-iff image \"$out/mask-export.gimp.iff\"))"
  echo "(let ((t (file-tarniff-load-thumb \"$files/render.iff\" 128)))"
  echo "  (report \"thumbnail \" (number->string (cadr t)) \" by \" (number->string (caddr t)))"
  echo "  (gimp-image-delete (car t)))"
  # Damaged files: each opens or is refused, and no plug-in crashes. Every plug-in run is a new
  # process that takes about a second to start, so GIMP gets every 8th (the loader below gets all).
  echo "(define opened 0) (define refused 0)"
  index=0
  for damaged in "$files"/robust/*.iff; do
    index=$((index + 1)); [ $((index % 8)) -eq 1 ] || continue
    echo "(let ((image (try-load \"$damaged\"))) (if image (begin (set! opened (+ opened 1)) (gimp-image-delete image)) (set! refused (+ refused 1))))"
  done
  echo "(report \"damaged files: \" (number->string opened) \" opened, \" (number->string refused) \" refused\")"
  # An export GIMP cannot make into a file of this format: refused, nothing written.
  echo "(let* ((image (car (gimp-image-new 40000 2 RGB)))"
  echo "       (layer (car (gimp-layer-new image 40000 2 RGB-IMAGE \"wide\" 100 LAYER-MODE-NORMAL))))"
  echo "  (gimp-image-insert-layer image layer 0 0)"
  echo "  (set! *error-hook* (let ((saved *error-hook*)) (lambda args (set! last-error (car args)) (saved \"failed\"))))"
  echo "  (catch #f (file-tarniff-save RUN-NONINTERACTIVE image layer \"$out/wide.gimp.iff\" \"wide.iff\"))"
  echo "  (report \"wide export: \" last-error))"
} > "$scm"

mkdir -p "$XDG_CONFIG_HOME/GIMP/2.10/gradients"
timeout 300 gimp-console-2.10 -i -d -f --no-shm --stack-trace-mode=never \
  -b "(load \"$scm\")" -b '(gimp-quit 0)' > "$work/gimp.log" 2>&1 \
  || { cat "$work/gimp.log"; fail "gimp-console did not finish the checks"; }
grep -q "batch command executed successfully" "$work/gimp.log" || { cat "$work/gimp.log"; fail "the Script-Fu checks failed"; }
if grep -qiE "crashed|segmentation|fatal error" "$work/gimp.log"; then
  grep -iE "crashed|segmentation|fatal error" "$work/gimp.log"; fail "a plug-in crashed"
fi
check_log() {  # pattern, what
  if grep -qF -- "$1" "$work/gimp.log"; then pass "GIMP: $2"; else fail "GIMP: $2 (no \"$1\" in the log)"; fi
}

for name in $colour_files; do
  if same "$out/$name.gimp.png" "$out/$name.tniff.png"; then pass "GIMP opens $name.iff as tniff does"
  else fail "GIMP's $name.iff differs from tniff's"; fi
done
for name in $depth_files; do
  if same "$out/$name.depth.gimp.png" "$out/$name.depth.tniff.png"; then pass "GIMP's Depth channel of $name.iff is tniff's"
  else fail "GIMP's Depth channel of $name.iff differs from tniff's --depth image"; fi
  check_log "$files/$name.iff channel Depth visible 0" "the Depth channel of $name.iff is hidden"
done
check_log "$files/render.iff layers 1 channels 1 resolution 72.0 name $files/render.iff" \
  "the sample opens as one layer and one channel, at 72 dpi, under its file name"
check_log "$files/rgb-raw.iff layers 1 channels 0" "a file without depth gets no channel"
# A depth buffer alone: tniff's gray image of it, as one gray layer named Depth, with tniff's note.
if same "$out/depth-only.gimp.png" "$out/depth-only.tniff.png"; then pass "GIMP opens depth-only.iff as tniff's gray image"
else fail "GIMP's depth-only.iff differs from tniff's gray image of its depth"; fi
check_log "$files/depth-only.iff layers 1 channels 0" "a depth buffer alone is one layer and no channel"
check_log "depth-only.iff layer Depth gray 1" "a depth buffer alone is a gray layer named Depth"
said=$(sed -n "s|^tniff: note: $files/depth-only.iff: ||p" "$work/depth-only-note.txt")
if [ -n "$said" ]; then
  check_log "file-tarniff: note: depth-only.iff: $said" "opening a depth buffer alone says so: $said"
else fail "tniff gave no note for depth-only.iff to .png"; fi
"$bin/tniff" convert "$files/rgba-depth.iff" "$out/rgba-depth-export.tniff.iff" \
  2> "$work/depth-note.txt"
for name in rgba gray rgba-depth; do
  if cmp -s "$out/$name-export.gimp.iff" "$out/$name-export.tniff.iff"; then
    pass "GIMP's .iff export of $name equals tniff convert's"
  else fail "GIMP's .iff export of $name differs from tniff convert's"; fi
done
# An export that leaves the depth buffer out says so in tniff's words, on stderr in a batch run.
said=$(sed -n "s|^tniff: note: $files/rgba-depth.iff: ||p" "$work/depth-note.txt")
if [ -n "$said" ]; then
  check_log "file-tarniff: note: rgba-depth-export.gimp.iff: $said" \
    "an export of an image with the Depth channel says it is not saved: $said"
else fail "tniff gave no note for rgba-depth.iff to .iff"; fi
check_log "file-tarniff: note: mask-export.gimp.iff: the channel \"Mask\" is not saved: \
the format's writer stores no depth buffer or other channel" \
  "an export of an image with a channel of the user's says it is not saved"
! grep -q "note: rgba-export.gimp.iff" "$work/gimp.log" ||
  fail "an export without channels gives a note"
# tniff's words for the same file: "tniff: PATH: WHAT (use --partial ...)".
tniff_error() {
  { "$bin/tniff" convert -q "$files/$1" "$work/refused.png" 2>&1 || true; } |
    sed -e "s|^tniff: $files/||" -e 's| (use --partial.*||'
}
for name in broken.iff truncated.iff no-tiles.iff few-tiles.iff damaged-tile.iff; do
  check_log "$name refused: " "$name is refused"
  said=$(tniff_error "$name")
  if [ -n "$said" ]; then check_log "$said" "$name's error is tniff's: $said"; else fail "tniff opened $name"; fi
done
for name in truncated no-tiles few-tiles damaged-tile; do
  check_log "$name.iff images open 0" "a refused $name.iff leaves no image"
done
check_log "damaged files: " "GIMP opens or refuses every damaged file"
grep -o "damaged files: .*" "$work/gimp.log" || true
check_log "thumbnail 360 by 240" "the thumbnail procedure gives the image and its size"
check_log "is too large for the format: at most 32767 pixels on a side" "an export too wide is refused"
for unwanted in broken.gimp.png truncated.gimp.png no-tiles.gimp.png few-tiles.gimp.png \
                damaged-tile.gimp.png wide.gimp.iff; do
  [ ! -e "$out/$unwanted" ] || fail "$unwanted was written"
done
if ls -A "$out" | grep -q '^\.'; then fail "a temporary file was left behind: $(ls -A "$out" | grep '^\.')"; fi

# Without a module beside the plug-in, $TNIFF_MODULE is consulted before the plug-in falls back
# to the places tniff looks in (the build's module among them): a variable that names a missing
# file is refused in words that name the variable.
plugin_module=$XDG_CONFIG_HOME/GIMP/2.10/plug-ins/file-tarniff/TnIffFormat.so
mv "$plugin_module" "$work/plugin-module.so"
printf '(load "%s")\n(expect-refused "%s" "%s")\n' "$defs" "$files/render.iff" \
  "$out/by-variable.gimp.png" > "$work/variable.scm"
TNIFF_MODULE=$work/gone/TnIffFormat.so timeout 300 gimp-console-2.10 -i -d -f --no-shm \
  --stack-trace-mode=never -b "(load \"$work/variable.scm\")" -b '(gimp-quit 0)' \
  > "$work/gimp-variable.log" 2>&1 || fail "gimp-console did not finish the TNIFF_MODULE check"
mv "$work/plugin-module.so" "$plugin_module"
if grep "render.iff refused: " "$work/gimp-variable.log" | grep -qF \
     "$work/gone/TnIffFormat.so: cannot load the module: No such file or directory (TNIFF_MODULE names it)"; then pass "GIMP: without a module beside it, the plug-in takes the file TNIFF_MODULE names (a missing one is refused in words that name it)"
else cat "$work/gimp-variable.log"; fail "GIMP: the plug-in did not take the module TNIFF_MODULE names"; fi

# ---- GdkPixbuf -----------------------------------------------------------------------------
export GDK_PIXBUF_MODULE_FILE=$loaders_cache
for name in $colour_files; do
  if pixbuf_check same "$files/$name.iff" "$out/$name.tniff.png" &&
     pixbuf_check incremental "$files/$name.iff" "$out/$name.tniff.png"; then
    pass "GdkPixbuf opens $name.iff as tniff does, whole and in pieces"
  else fail "GdkPixbuf's $name.iff differs from tniff's"; fi
done
# A smaller size asked for in size-prepared (a thumbnail) gives a pixbuf of that size whose pixels
# are the area averages of tniff's full image; a size of 0 (the caller stops) ends the load
# without pixels, and not in a failure without an error.
for name in $colour_files; do
  if pixbuf_check fit "$files/$name.iff" 17 9 "$out/$name.tniff.png"; then
    pass "GdkPixbuf loads $name.iff at 17 x 9 as the averages of tniff's image"
  else fail "GdkPixbuf's $name.iff at 17 x 9 is not the averages of tniff's image"; fi
done
for name in rgba truncated; do
  if pixbuf_check stopped "$files/$name.iff"; then pass "a load of $name.iff stopped after its size ends cleanly"
  else fail "a load of $name.iff stopped after its size"; fi
done
# The file's bytes are held once at most, and a run of zeros not at all: a 2 GiB file of an image
# and then a hole opens under an address-space limit of 1 GiB, from file and read in pieces.
cp "$files/rgba.iff" "$work/sparse.iff"
truncate -s 2G "$work/sparse.iff"
if (ulimit -v 1048576; pixbuf_check same "$work/sparse.iff" "$out/rgba.tniff.png" &&
    pixbuf_check streamed "$work/sparse.iff" "$out/rgba.tniff.png"); then
  pass "GdkPixbuf opens a 2 GiB sparse file within 1 GiB of address space, whole and streamed"
else fail "GdkPixbuf cannot open a 2 GiB sparse file within 1 GiB of address space"; fi
# The size comes from the header, before anything is decoded: a file cut after it has one.
head -c 200 "$files/rgba.iff" > "$work/header-only.iff"
size=$("$bin/tniff" info "$files/rgba.iff" | sed -n 's/^  image *\([0-9]*\) x \([0-9]*\),.*/\1 \2/p')
if [ -n "$size" ] && [ "$(pixbuf_check size "$work/header-only.iff")" = "$size" ]; then
  pass "gdk_pixbuf_get_file_info gives the size from the header alone ($size)"
else fail "gdk_pixbuf_get_file_info has no size for a file cut after its header"; fi
[ "$(gio info -a standard::content-type "$files/render.iff" | sed -n 's/.*content-type: //p')" = image/x-tarniff ] \
  && pass "the MIME type is found by content" || fail "render.iff is not image/x-tarniff"
cp "$files/render.iff" "$work/render.dat"
[ "$(gio info -a standard::content-type "$work/render.dat" | sed -n 's/.*content-type: //p')" = image/x-tarniff ] \
  && pass "the MIME type is found by content without the extension" || fail "render.dat is not image/x-tarniff"

entry=$XDG_DATA_HOME/thumbnailers/tarniff.thumbnailer
command=$(sed -n 's/^Exec=//p' "$entry")
for name in render rgba gray-depth; do
  thumb=$out/$name.thumbnail.png
  side=$("$bin/tniff" info "$files/$name.iff" | sed -n 's/^  image *\([0-9]*\) x \([0-9]*\),.*/\1 \2/p' |
         awk '{ print ($1 > $2 ? $1 : $2) }')
  # At the image's own size the thumbnail is the image itself.
  line=${command//%s/$side}; line=${line//%u/file://$files/$name.iff}; line=${line//%o/$thumb}
  ( unset GDK_PIXBUF_MODULE_FILE; timeout 60 $line ) || true
  if [ -f "$thumb" ] && same "$thumb" "$out/$name.tniff.png"; then pass "the thumbnailer's picture of $name.iff is tniff's"
  else fail "the thumbnailer's picture of $name.iff is missing or differs"; fi
done
# A thumbnail of a large image never holds it: 32767 x 32767 RGBA (4 GiB of pixels in a file of
# 68 MB) thumbnailed under an address-space limit of 1 GiB.
"$bin/tniff_make_integration_files" --large 32767 "$work/large.iff"
thumb=$out/large.thumbnail.png
line=${command//%s/256}; line=${line//%u/file://$work/large.iff}; line=${line//%o/$thumb}
if ( unset GDK_PIXBUF_MODULE_FILE; ulimit -v 1048576; timeout 300 $line ) &&
   [ "$(pixbuf_check size "$thumb")" = "256 256" ]; then
  pass "the thumbnailer makes a 256 x 256 picture of a 32767 x 32767 file within 1 GiB"
else fail "the thumbnailer cannot picture a 32767 x 32767 file within 1 GiB"; fi
rm -f "$work/large.iff"
for name in broken truncated no-tiles few-tiles damaged-tile; do
  if message=$(pixbuf_check fails "$files/$name.iff"); then pass "GdkPixbuf refuses $name.iff: $message"
  else fail "GdkPixbuf opened $name.iff"; fi
done
# Its words are tniff's, for the file named by its name; the thumbnailer, which feeds the loader
# bytes of no name, has the same words after its own naming of the file.
for name in truncated no-tiles few-tiles damaged-tile; do
  said=$(tniff_error "$name.iff"); said=${said#"$name.iff: "}
  message=$(pixbuf_check fails "$files/$name.iff" || true)
  if [ -n "$said" ] && [ -n "$message" ] && [[ "$message" == *": $name.iff: $said" ]]; then
    pass "GdkPixbuf's refusal of $name.iff is tniff's: $said"
  else fail "GdkPixbuf's refusal of $name.iff (\"$message\") is not tniff's (\"$said\")"; fi
  line=${command//%s/64}; line=${line//%u/file://$files/$name.iff}; line=${line//%o/$out/$name.refused.png}
  message=$( ( unset GDK_PIXBUF_MODULE_FILE; timeout 60 $line ) 2>&1 || true)
  if [[ "$message" == *"': the .iff file: $said"* ]] && [ ! -e "$out/$name.refused.png" ]; then
    pass "the thumbnailer's refusal of $name.iff is tniff's"
  else fail "the thumbnailer's refusal of $name.iff (\"$message\") is not tniff's (\"$said\")"; fi
done
damaged=("$files"/robust/*.iff)
# And every saved input of the fuzz targets and the crash regressions, where there are any.
if [ -d "$source/fuzz" ]; then
  while IFS= read -r -d '' saved; do damaged+=("$saved"); done < <(find "$source/fuzz" -type f \
    \( -name '*.iff' -o -path '*corpus*' -o -path '*regression*' -o -path '*crash*' \) -print0)
fi
if summary=$(timeout 120 "$bin/tniff_pixbuf_check" survive "${damaged[@]}" 2>&1); then
  pass "GdkPixbuf survives ${#damaged[@]} damaged files ($summary)"
else fail "GdkPixbuf on the damaged files: $summary"; fi

# ---- Qt ------------------------------------------------------------------------------------
# QImageReader with no plug-in named, the build's plug-in found through QT_PLUGIN_PATH; tniff's
# PNGs read by Qt's own PNG reader.
qt_check() { QT_PLUGIN_PATH=$build/qt-plugins QT_QPA_PLATFORM=offscreen timeout 60 "$bin/tniff_qt_check" "$@"; }
for name in $colour_files depth-only; do
  if qt_check same "$files/$name.iff" "$out/$name.tniff.png" &&
     qt_check buffer "$files/$name.iff" "$out/$name.tniff.png"; then
    pass "QImageReader reads $name.iff as tniff does, from the file and from a buffer of no name"
  else fail "QImageReader's $name.iff differs from tniff's"; fi
done
cp "$files/render.iff" "$work/render-without-extension"
if qt_check same "$work/render-without-extension" "$out/render.tniff.png"; then
  pass "QImageReader finds the plug-in by the file's bytes under a name without an extension"
else fail "QImageReader does not read the sample under a name without an extension"; fi
if qt_check threads "$files/render.iff" "$out/render.tniff.png"; then
  pass "QImageReader reads the sample in 8 threads at once, each as tniff does"
else fail "QImageReader's reads of the sample in 8 threads at once"; fi
# The size and the image format before a read are those of the image read, and come from the
# first 64 KiB at most: a file cut after its header has them, and a 4096 x 4096 file of 1 MB is
# not read for them.
for name in render gray rgb-raw rgba-depth depth-only; do
  read -r width height format dpmx dpmy <<< "$(qt_check info "$files/$name.iff" || true)"
  read -r size_width size_height size_format taken <<< "$(qt_check size "$files/$name.iff" || true)"
  if [ -n "${width:-}" ] && [ "$width $height $format" = "${size_width:-} ${size_height:-} ${size_format:-}" ]; then
    pass "QImageReader's size and format of $name.iff before the read are the image's ($width x $height, format $format)"
  else fail "QImageReader's size and format of $name.iff before the read (${size_width:-} ${size_height:-} ${size_format:-}) are not the image's (${width:-} ${height:-} ${format:-})"; fi
done
read -r width height format dpmx dpmy <<< "$(qt_check info "$files/render.iff" || true)"
# The sample's 72 dpi, and alpha kept (QImage::Format_ARGB32).
[ "${dpmx:-} ${dpmy:-} ${format:-}" = "2835 2835 5" ] &&
  pass "the sample reads with its alpha, at 72 dpi as 2835 dots per metre" ||
  fail "the sample reads as format ${format:-} at ${dpmx:-} x ${dpmy:-} dots per metre, not ARGB32 at 2835"
head -c 200 "$files/rgba.iff" > "$work/qt-header-only.iff"
size=$("$bin/tniff" info "$files/rgba.iff" | sed -n 's/^  image *\([0-9]*\) x \([0-9]*\),.*/\1 \2/p')
said=$(qt_check size "$work/qt-header-only.iff" | cut -d' ' -f1-2 || true)
if [ -n "$size" ] && [ "$said" = "$size" ] && qt_check fails "$work/qt-header-only.iff" > /dev/null; then
  pass "QImageReader has the size of a file cut after its header ($size), and no image"
else fail "QImageReader's size of a file cut after its header is \"$said\", not \"$size\", or it read an image"; fi
"$bin/tniff_make_integration_files" --large 4096 "$work/qt-large.iff"
read -r size_width size_height size_format taken <<< "$(qt_check size "$work/qt-large.iff" || true)"
length=$(stat -c %s "$work/qt-large.iff")
if [ "${size_width:-} ${size_height:-}" = "4096 4096" ] && [ "${taken:-999999999}" -le 65536 ]; then
  pass "QImageReader has the size of a 4096 x 4096 file from $taken of its $length bytes"
else fail "QImageReader's size of a 4096 x 4096 file (${size_width:-} ${size_height:-}) took ${taken:-?} of its $length bytes"; fi
rm -f "$work/qt-large.iff"
# Refusals: no image, and tniff's words for the file, named by its name.
for name in broken truncated no-tiles few-tiles damaged-tile; do
  said=$(tniff_error "$name.iff")
  message=$(qt_check fails "$files/$name.iff" || true)
  if [ -n "$said" ] && [ "$message" = "$said" ]; then
    pass "QImageReader reads no image of $name.iff, and the plug-in says tniff's words: $said"
  else fail "QImageReader on $name.iff: \"$message\", tniff says \"$said\""; fi
done
if summary=$(QT_PLUGIN_PATH=$build/qt-plugins QT_QPA_PLATFORM=offscreen timeout 120 \
               "$bin/tniff_qt_check" survive "${damaged[@]}" 2>&1); then
  pass "QImageReader survives ${#damaged[@]} damaged files ($summary)"
else fail "QImageReader on the damaged files: $summary"; fi
# A real Qt viewer: lximage-qt opens the sample on a virtual display, and not a file cut short.
while IFS= read -r line; do
  case "$line" in ok:*) pass "${line#ok: }" ;; FAIL:*) fail "${line#FAIL: }" ;; *) echo "$line" ;; esac
done < <(bash "$source/scripts/qt-screenshot.sh" --check "$build" 2>&1 || true)

if [ "$failures" -ne 0 ]; then
  echo "integration checks: $failures failed"
  exit 1
fi
echo "integration checks: all passed"
