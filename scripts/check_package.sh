#!/usr/bin/env bash
# The release packages checked as a user gets them, without installing anything on the machine:
#     bash scripts/check_package.sh [BUILD_DIR]     (the tested build, default build/)
#  1. scripts/package.sh builds dist/tarniff_VERSION_ARCH.deb (tniff and the module),
#     gimp-tarniff_... (the GIMP plug-in), tarniff-pixbuf-loader_... (the GdkPixbuf loader),
#     tarniff-qt-plugin_... (the Qt image plug-in) and dist/TarnIFF-VERSION-windows.zip.
#  2. Each .deb: its files, links, modes, owners and dates; its Depends (from the binaries, all in
#     Debian, nothing for building; tniff's package nothing of GIMP, GTK, GdkPixbuf or Qt, the
#     others tniff's package of the same version); no maintainer scripts; apt can resolve tniff's
#     alone and all four; lintian finds no error.
#  3. The three unpacked into one temporary root (dpkg-deb -x): its tniff uses the root's module
#     and gives BUILD_DIR's tniff's bytes for the sample; GIMP (gimp-console, its plug-in path into
#     the root) opens the sample through the packaged plug-in as tniff does;
#     gdk-pixbuf-thumbnailer, run as the packaged thumbnailer entry says with a loaders cache over
#     the packaged loader, draws tniff's picture; the packaged MIME entry names the sample's type;
#     QImageReader, Qt's plug-in path into the root, reads the sample through the packaged Qt
#     plug-in (and the module it finds from there) as tniff does.
#  4. The zip: its members; its module files are build-win32/'s and build-win64/'s (the ones the
#     test command drove under Wine) in the folders of their width; SHA256SUMS agrees.
#  5. Reproducible: the tracked sources copied to another folder and packaged there give the same
#     bytes, for every package.
# Prints "ok:" or "FAIL:" per check; exit status 1 when any failed.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
cd "$source_dir"
[ -x "$build/bin/tniff" ] || { echo "check_package: $build/bin/tniff is not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # what, command...: passes when the command succeeds
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
bash scripts/package.sh
version=$(sed -n 's/^project(TarnIFF VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
packages=(tarniff gimp-tarniff tarniff-pixbuf-loader tarniff-qt-plugin)
debs=()
for package in "${packages[@]}"; do debs+=("dist/${package}_${version}_$arch.deb"); done
zip=dist/TarnIFF-$version-windows.zip
loaders=usr/lib/$multiarch/gdk-pixbuf-2.0/2.10.0/loaders
qt_plugins=usr/lib/$multiarch/qt5/plugins/imageformats

# ---- 2. the .debs as files -----------------------------------------------------------------
# Every file and link of each package (directories aside): package, mode, path, link target.
sed -e "s|@LOADERS@|$loaders|" -e "s|@QT_PLUGINS@|$qt_plugins|" > "$work/files.expected" <<'FILES'
tarniff -rwxr-xr-x ./usr/bin/tniff
tarniff -rw-r--r-- ./usr/lib/tniff/TnIffFormat.so
tarniff -rw-r--r-- ./usr/share/doc/tarniff/changelog.gz
tarniff -rw-r--r-- ./usr/share/doc/tarniff/copyright
tarniff -rw-r--r-- ./usr/share/man/man1/tniff.1.gz
tarniff -rw-r--r-- ./usr/share/mime/packages/tarniff-mime.xml
gimp-tarniff -rwxr-xr-x ./usr/lib/gimp/2.0/plug-ins/file-tarniff/file-tarniff
gimp-tarniff lrwxrwxrwx ./usr/lib/gimp/2.0/plug-ins/file-tarniff/TnIffFormat.so -> ../../../../tniff/TnIffFormat.so
gimp-tarniff -rw-r--r-- ./usr/share/doc/gimp-tarniff/changelog.gz
gimp-tarniff -rw-r--r-- ./usr/share/doc/gimp-tarniff/copyright
tarniff-pixbuf-loader -rw-r--r-- ./@LOADERS@/libpixbufloader-tarniff.so
tarniff-pixbuf-loader -rw-r--r-- ./usr/share/doc/tarniff-pixbuf-loader/changelog.gz
tarniff-pixbuf-loader -rw-r--r-- ./usr/share/doc/tarniff-pixbuf-loader/copyright
tarniff-pixbuf-loader -rw-r--r-- ./usr/share/thumbnailers/tarniff.thumbnailer
tarniff-qt-plugin -rw-r--r-- ./@QT_PLUGINS@/libqtarniff.so
tarniff-qt-plugin -rw-r--r-- ./usr/share/doc/tarniff-qt-plugin/changelog.gz
tarniff-qt-plugin -rw-r--r-- ./usr/share/doc/tarniff-qt-plugin/copyright
FILES
when=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')
for i in "${!packages[@]}"; do
  package=${packages[$i]} deb=${debs[$i]}
  dpkg-deb --fsys-tarfile "$deb" | tar -tv --numeric-owner --full-time > "$work/$package.listing"
  awk '$1 !~ /^d/ { line = $1 " " $6; for (i = 7; i <= NF; i++) line = line " " $i; print line }' \
    "$work/$package.listing" | sort > "$work/$package.files"
  if diff <(sed -n "s/^$package //p" "$work/files.expected" | sort) "$work/$package.files" > "$work/files.diff"; then
    pass "$package's .deb holds exactly the expected files and links, with their modes"
  else
    fail "$package's .deb's files differ from the expected list:"; cat "$work/files.diff"
  fi
  check "every entry of $package's .deb is root's and dated the commit ($when)" \
    test -z "$(awk -v when="$when" '$2 != "0/0" || $4 " " $5 != when' "$work/$package.listing")"
  check "$package's control part is control and md5sums only: no maintainer scripts or triggers of ours" \
    test "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v '^\./$' | sort | tr '\n' ' ')" = "./control ./md5sums "
done

# Each package's Depends: the libraries its binaries link, each with the least version
# dpkg-shlibdeps found; the plug-ins' also tniff's package, whose module they load, of their own
# version.
names_with_version() { [[ ", $2" == *", $1 (>= "* ]]; }
binary_version=$(dpkg-deb -f "${debs[0]}" Version)
declare -A libraries=(
  [tarniff]="libc6 libstdc++6 libgcc-s1 libpng16-16 libtiff6"
  [gimp-tarniff]="libc6 libstdc++6 libglib2.0-0 libgimp2.0"
  [tarniff-pixbuf-loader]="libc6 libstdc++6 libglib2.0-0 libgdk-pixbuf-2.0-0"
  [tarniff-qt-plugin]="libc6 libstdc++6 libqt5core5a libqt5gui5"
)
for i in "${!packages[@]}"; do
  package=${packages[$i]} deb=${debs[$i]}
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "   $package Depends: $depends"
  for library in ${libraries[$package]}; do
    check "$package's Depends names $library with a version" names_with_version "$library" "$depends"
  done
  check "$package's Depends names no build-only package (-dev, gimp itself)" \
    test -z "$(tr ',' '\n' <<< "$depends" | grep -E -- '-dev\b|^ *gimp\b' || true)"
  if [ "$package" != tarniff ]; then
    check "$package depends on tarniff (= $binary_version), whose module it loads" \
      grep -qx "tarniff (= $binary_version)" <(tr ',' '\n' <<< "$depends" | sed 's/^ *//')
  fi
done
check "tniff's package depends on nothing of GIMP, GTK, GLib, GdkPixbuf or Qt" \
  test -z "$(dpkg-deb -f "${debs[0]}" Depends | tr ',' '\n' | grep -E 'gimp|gtk|glib|pixbuf|qt' || true)"
# The Qt plug-in's package: tniff's and Qt's libraries, nothing of GLib, GTK or GIMP beside them.
check "the Qt plug-in's package depends on tarniff and Qt's and the C and C++ runtimes' libraries only" \
  test -z "$(dpkg-deb -f "${debs[3]}" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' |
             grep -vxE 'tarniff|libc6|libstdc\+\+6|libgcc-s1|libqt5(core|gui)5(a|-gles)?( \|.*)?' || true)"
for set in tarniff all; do
  targets=("./${debs[0]}")
  [ "$set" = all ] && targets=("${debs[@]/#/./}")
  if apt-get --simulate install "${targets[@]}" > "$work/apt.log" 2>&1; then
    pass "apt-get can install ${set/all/all four packages} from Debian's packages (simulated)"
  else
    fail "apt-get --simulate install ${targets[*]} failed:"; tail -5 "$work/apt.log"
  fi
done
if command -v lintian > /dev/null; then
  for deb in "${debs[@]}"; do
    lintian --tag-display-limit 0 "$deb" > "$work/lintian.log" 2>&1 || true
    check "lintian finds no error in $(basename "$deb")" test -z "$(grep '^E: ' "$work/lintian.log" || true)"
    grep -E '^(E|W): ' "$work/lintian.log" || true
  done
else
  fail "lintian is not installed (run scripts/setup.sh)"
fi

# ---- 3. the .debs unpacked -----------------------------------------------------------------
root=$work/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
tniff=$root/usr/bin/tniff
check "the unpacked programs find every library they link" \
  test -z "$(ldd "$tniff" "$root/usr/lib/tniff/TnIffFormat.so" "$root/usr/lib/gimp/2.0/plug-ins/file-tarniff/file-tarniff" \
             "$root/$loaders/libpixbufloader-tarniff.so" "$root/$qt_plugins/libqtarniff.so" | grep 'not found' || true)"
check "the unpacked tniff uses the unpacked module" \
  grep -qx "module .* $(realpath "$root")/usr/lib/tniff/TnIffFormat.so" <("$tniff" --version)
out=$work/out
mkdir -p "$out"
sample=$source_dir/samples/render.iff
# Each output (and depth image) made by the packaged tniff and by the build's.
while read -r name depth; do
  for who in built packaged; do
    program=$build/bin/tniff; [ "$who" = packaged ] && program=$tniff
    "$program" -q convert "$sample" "$out/$who-$name" ${depth:+--depth "$out/$who-$depth"} || true
  done
  if [ -s "$out/built-$name" ] && cmp -s "$out/built-$name" "$out/packaged-$name" &&
     { [ -z "$depth" ] || cmp -s "$out/built-$depth" "$out/packaged-$depth"; }; then
    pass "the packaged tniff converts the sample to $name${depth:+ and $depth} as the build's does"
  else fail "the packaged tniff's $name${depth:+ or $depth} of the sample differs from the build's"; fi
done <<'EOF'
render.png depth.png
render.pam
render.tiff
EOF
"$tniff" -q convert "$out/packaged-render.png" "$out/again.iff"
"$build/bin/tniff" -q convert "$out/built-render.png" "$out/built-again.iff"
check "the packaged tniff saves .iff as the build's does" cmp -s "$out/again.iff" "$out/built-again.iff"

# A PNG shows the sample as tniff does when the build's tniff saves it as the same .iff bytes:
# the pixels count, not how the PNG was written.
same_pixels() { "$build/bin/tniff" -q convert "$1" "$1.iff" && cmp -s "$1.iff" "$out/built-again.iff"; }

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
       XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/runtime
unset GIMP2_DIRECTORY TNIFF_MODULE GDK_PIXBUF_MODULE_FILE DISPLAY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# GIMP: its own plug-ins and the unpacked folder, as if the package put it in GIMP's.
gimp_dir=$XDG_CONFIG_HOME/GIMP/2.10
mkdir -p "$gimp_dir/gradients"
echo "(plug-in-path \"\${gimp_plug_in_dir}/plug-ins:$root/usr/lib/gimp/2.0/plug-ins\")" > "$gimp_dir/gimprc"
gimp_png=$out/gimp-render.png
timeout 300 gimp-console-2.10 -i -d -f --no-shm --stack-trace-mode=never -b "
(let* ((image (car (file-tarniff-load RUN-NONINTERACTIVE \"$sample\" \"$sample\")))
       (layer (aref (cadr (gimp-image-get-layers image)) 0)))
  (file-png-save2 RUN-NONINTERACTIVE image layer \"$gimp_png\" \"$gimp_png\" 0 9 0 0 0 0 0 0 1))" \
  -b '(gimp-quit 0)' > "$work/gimp.log" 2>&1 || true
if [ -f "$gimp_png" ] && same_pixels "$gimp_png"; then
  pass "GIMP finds the packaged plug-in and opens the sample as tniff does"
else fail "GIMP did not open the sample through the packaged plug-in as tniff does:"; tail -5 "$work/gimp.log"; fi

# The MIME database with the packaged entry, as the trigger makes it: GdkPixbuf picks a loader by
# the type the database gives a file.
mkdir -p "$XDG_DATA_HOME/mime/packages"
cp "$root/usr/share/mime/packages/tarniff-mime.xml" "$XDG_DATA_HOME/mime/packages/"
update-mime-database "$XDG_DATA_HOME/mime"
cp "$sample" "$work/render.dat"
check "the packaged MIME entry makes the sample image/x-tarniff by its bytes" \
  test "$(gio info -a standard::content-type "$work/render.dat" | sed -n 's/.*content-type: //p')" = image/x-tarniff

# The thumbnailer, as the packaged entry says, with the packaged loader beside the system's.
query_loaders=/usr/lib/$multiarch/gdk-pixbuf-2.0/gdk-pixbuf-query-loaders
# What Debian's trigger does: every .so file anywhere under the loaders folder is tried as a loader.
find "$root/$loaders" -name '*.so' | LC_ALL=C sort | xargs "$query_loaders" > "$work/packaged.cache" \
  2> "$work/query.log" || true
check "GdkPixbuf's trigger would register the packaged loader and nothing else, without a complaint" \
  test "$(grep -c '^"/' "$work/packaged.cache")" = 1 -a ! -s "$work/query.log"
cat "$work/query.log"
cache=$work/loaders.cache
"$query_loaders" "/$loaders"/*.so "$root/$loaders/libpixbufloader-tarniff.so" > "$cache"
entry=$root/usr/share/thumbnailers/tarniff.thumbnailer
command=$(sed -n 's/^Exec=//p' "$entry")
check "the thumbnailer entry runs Debian's gdk-pixbuf-thumbnailer as it is" \
  test "$(sed -n 's/^TryExec=//p' "$entry")" = /usr/bin/gdk-pixbuf-thumbnailer -a "${command%% *}" = /usr/bin/gdk-pixbuf-thumbnailer
side=$("$tniff" info --brief "$sample" | sed -n 's/^[^:]*: \([0-9]*\) x \([0-9]*\),.*/\1 \2/p' |
       awk '{ print ($1 > $2 ? $1 : $2) }')
thumb=$out/thumbnail.png
line=${command//%s/$side}; line=${line//%u/file://$sample}; line=${line//%o/$thumb}
GDK_PIXBUF_MODULE_FILE=$cache timeout 60 $line > "$work/thumbnailer.log" 2>&1 || true
# At the image's own size the thumbnail is the image itself.
if [ -f "$thumb" ] && same_pixels "$thumb"; then
  pass "gdk-pixbuf-thumbnailer finds the packaged loader and draws the sample as tniff does"
else fail "gdk-pixbuf-thumbnailer drew no picture of the sample, or another one:"; cat "$work/thumbnailer.log"; fi

# Qt: QImageReader with the unpacked plug-in folder as Qt's, as if the package put it in Qt's; the
# checking program copied away from the build, so that the only module the plug-in can find is
# the one its relative path leads to.
if [ -x "$build/bin/tniff_qt_check" ]; then
  cp "$build/bin/tniff_qt_check" "$work/qt_check"
  if QT_PLUGIN_PATH=$(dirname "$root/$qt_plugins") QT_QPA_PLATFORM=offscreen timeout 60 \
       "$work/qt_check" same "$sample" "$out/built-render.png" > "$work/qt.log" 2>&1; then
    pass "QImageReader finds the packaged Qt plug-in and reads the sample as tniff does"
  else fail "QImageReader did not read the sample through the packaged Qt plug-in as tniff does:"; cat "$work/qt.log"; fi
else fail "$build/bin/tniff_qt_check is not built (the Qt plug-in's check)"; fi

# ---- 4. the zip ----------------------------------------------------------------------------
unzip_dir=$work/zip
mkdir -p "$unzip_dir"
python3 - "$zip" "$unzip_dir" > "$work/zip.members" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    for info in archive.infolist():
        print(info.filename, "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time, oct(info.external_attr >> 16))
    archive.extractall(sys.argv[2])
PY
check "the zip holds 32-bit/ and 64-bit/TnIffFormat.8bi, INSTALL.txt, LICENSE.txt and SHA256SUMS, in that order" \
  test "$(cut -d' ' -f1 "$work/zip.members" | tr '\n' ' ')" = \
       "32-bit/TnIffFormat.8bi 64-bit/TnIffFormat.8bi INSTALL.txt LICENSE.txt SHA256SUMS "
check "every member of the zip has mode 644 and one date" \
  test "$(cut -d' ' -f2- "$work/zip.members" | sort -u | wc -l)" = 1 -a -z "$(grep -v ' 0o100644$' "$work/zip.members" || true)"
for width in 32 64; do
  check "the zip's $width-bit/TnIffFormat.8bi is build-win$width/'s, the file driven under Wine" \
    cmp -s "$unzip_dir/$width-bit/TnIffFormat.8bi" "build-win$width/TnIffFormat.8bi"
done
check "the 32-bit folder holds an i386 module, the 64-bit folder an x86-64 one" \
  test "$(objdump -f "$unzip_dir/32-bit/TnIffFormat.8bi" | sed -n 's/.*file format //p')" = pei-i386 -a \
       "$(objdump -f "$unzip_dir/64-bit/TnIffFormat.8bi" | sed -n 's/.*file format //p')" = pei-x86-64
check "SHA256SUMS agrees with every other file of the zip" \
  bash -c "cd '$unzip_dir' && sha256sum --quiet -c SHA256SUMS && [ \$(wc -l < SHA256SUMS) = 4 ]"

# ---- 5. the same bytes from a copy elsewhere -----------------------------------------------
copy=$work/elsewhere/tarniff-source
mkdir -p "$copy"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$copy"
echo "   packaging again in $copy"
if (cd "$copy" && bash scripts/package.sh --out "$work/dist-again") > "$work/again.log" 2>&1; then
  for package in "${debs[@]}" "$zip"; do
    check "$(basename "$package") built again elsewhere is the same bytes" \
      cmp "$package" "$work/dist-again/$(basename "$package")"
  done
else
  fail "packaging the copy failed:"; tail -20 "$work/again.log"
fi

for package in "${debs[@]}" "$zip"; do echo "   $(basename "$package"): $(stat -c %s "$package") bytes"; done
if [ "$failures" -ne 0 ]; then
  echo "package checks: $failures failed"
  exit 1
fi
echo "package checks: all passed"
