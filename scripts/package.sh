#!/usr/bin/env bash
# Builds the release packages into dist/:
#   dist/tarniff_VERSION_ARCH.deb        tniff and its module, the manual page
#   dist/gimp-tarniff_VERSION_ARCH.deb   the GIMP plug-in (needs tarniff's module)
#   dist/tarniff-pixbuf-loader_VERSION_ARCH.deb
#                                        the GdkPixbuf loader with its thumbnailer
#   dist/tarniff-qt-plugin_VERSION_ARCH.deb
#                                        the Qt 5 image plug-in (Qt and KDE programs)
#   dist/TarnIFF-VERSION-windows.zip     the 32- and 64-bit Windows module files, an install note,
#                                        the licence and SHA256SUMS
#     bash scripts/package.sh [--deb-only | --zip-only] [--out DIR]
# VERSION is project(VERSION) in CMakeLists.txt. The Linux programs are built in build-package/;
# the Windows files are build-win32/ and build-win64/ of scripts/build-windows.sh, the files the
# test command drives under Wine. Every date in the packages is SOURCE_DATE_EPOCH (default: the
# last commit's time), so the same sources give the same bytes wherever they are built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

out=$root/dist
make_deb=1 make_zip=1
while [ $# -gt 0 ]; do
  case "$1" in
    --deb-only) make_zip=0 ;;
    --zip-only) make_deb=0 ;;
    --out) out=$2; shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

version=$(sed -n 's/^project(TarnIFF VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no project(TarnIFF VERSION ...) in CMakeLists.txt" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2> /dev/null) ||
    { echo "package: not a git checkout: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022
mkdir -p "$out"

# Every file and link of a tree: the build's date, plain modes.
settle_tree() {
  find "$1" -type d -exec chmod 755 {} +
  find "$1" -type f ! -perm -u+x -exec chmod 644 {} +
  find "$1" -type f -perm -u+x -exec chmod 755 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

build_deb() {
  local build=$root/build-package
  local arch multiarch
  arch=$(dpkg-architecture -qDEB_HOST_ARCH)
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  local changelog_version
  changelog_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
  if [ "$changelog_version" != "$version" ]; then
    echo "package: packaging/debian/changelog's top entry is $changelog_version, CMakeLists.txt says" \
         "$version: add an entry for $version" >&2
    exit 1
  fi

  # Debian's build flags (hardening; -ffile-prefix-map keeps the tree's path out of the binaries),
  # and no fallback to this tree's module.
  buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
  local CPPFLAGS CFLAGS CXXFLAGS LDFLAGS
  CPPFLAGS=$(buildflag CPPFLAGS) CFLAGS=$(buildflag CFLAGS) CXXFLAGS=$(buildflag CXXFLAGS)
  LDFLAGS="$(buildflag LDFLAGS) -Wl,--as-needed"
  echo "package: building the Linux programs in build-package/"
  mkdir -p "$build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS -ffile-prefix-map=$root=." \
    -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS -ffile-prefix-map=$root=." \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
    -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
    -DTNIFF_BUILD_TESTS=OFF -DTNIFF_FIND_BUILT_MODULE=OFF -DTNIFF_WERROR="$([ "${TNIFF_WERROR:-0}" = 1 ] && echo ON || echo OFF)" \
    > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
  cmake --build "$build" -j2 --target tniff TnIffFormat file-tarniff pixbufloader-tarniff qtarniff \
    > "$build/build.log" 2>&1 || { tail -40 "$build/build.log"; exit 1; }
  for built in tniff TnIffFormat.so file-tarniff libpixbufloader-tarniff.so ../qt-plugins/imageformats/libqtarniff.so; do
    [ -f "$build/bin/$built" ] || { echo "package: $built was not built (run scripts/setup.sh)" >&2; exit 1; }
  done

  # Four packages, so that tniff alone brings no GIMP, GTK or Qt libraries:
  #   tarniff                tniff, the module in /usr/lib/tniff (where tniff looks, relative to
  #                          itself), the manual page, the MIME type (which both image loaders'
  #                          programs pick a reader by)
  #   gimp-tarniff           the GIMP plug-in, which loads tarniff's module
  #   tarniff-pixbuf-loader  the GdkPixbuf loader (which loads it too), the thumbnailer entry
  #   tarniff-qt-plugin      the Qt 5 image plug-in (which loads it too)
  local stages=$build/roots
  rm -rf "$stages" "$build/root"
  local tool=$stages/tarniff gimp=$stages/gimp-tarniff pixbuf=$stages/tarniff-pixbuf-loader
  local qt=$stages/tarniff-qt-plugin
  mkdir -p "$tool" "$gimp" "$pixbuf" "$qt"
  DESTDIR=$tool cmake --install "$build" --prefix /usr > "$build/install.log"
  # Qt's imageformats folder; the plug-in finds the module from there by the relative path the
  # build compiled in (/usr/lib/tniff).
  DESTDIR=$qt cmake --install "$build" --prefix /usr --component qt >> "$build/install.log"
  local qt_plugins=usr/lib/$multiarch/qt5/plugins/imageformats
  [ -f "$qt/$qt_plugins/libqtarniff.so" ] ||
    { echo "package: the Qt plug-in was not installed into /$qt_plugins" >&2; exit 1; }
  gzip -9n "$tool/usr/share/man/man1/tniff.1"

  local plugins=usr/lib/gimp/2.0/plug-ins/file-tarniff
  local loaders=usr/lib/$multiarch/gdk-pixbuf-2.0/2.10.0/loaders
  install -D -m 755 "$build/bin/file-tarniff" "$gimp/$plugins/file-tarniff"
  install -D -m 644 "$build/bin/libpixbufloader-tarniff.so" "$pixbuf/$loaders/libpixbufloader-tarniff.so"
  # One module file. The plug-in finds it beside itself, through a relative link (GIMP starts
  # only the executable files of its plug-in folders); the loader finds it from its folder, where
  # nothing else may be a .so file, as gdk-pixbuf-query-loaders tries each as a loader.
  ln -s "$(realpath -m --relative-to="/$plugins" /usr/lib/tniff/TnIffFormat.so)" "$gimp/$plugins/TnIffFormat.so"
  # Debian's gdk-pixbuf and shared-mime-info watch these folders and refresh the loaders cache and
  # the MIME database themselves (dpkg triggers): the packages have no scripts of their own.
  install -D -m 644 integrations/gdk-pixbuf/tarniff-mime.xml "$tool/usr/share/mime/packages/tarniff-mime.xml"
  mkdir -p "$pixbuf/usr/share/thumbnailers"
  sed -e "s|@THUMBNAILER@|/usr/bin/gdk-pixbuf-thumbnailer|g" -e "s|@EXEC_PREFIX@||" \
    integrations/gdk-pixbuf/tarniff.thumbnailer.in > "$pixbuf/usr/share/thumbnailers/tarniff.thumbnailer"

  local package
  for package in tarniff gimp-tarniff tarniff-pixbuf-loader tarniff-qt-plugin; do
    install -D -m 644 packaging/debian/copyright "$stages/$package/usr/share/doc/$package/copyright"
    gzip -9n < packaging/debian/changelog > "$stages/$package/usr/share/doc/$package/changelog.gz"
  done

  # As Debian's packaging tools strip: no symbol tables, no compiler notes.
  local file
  for file in "$tool/usr/bin/tniff" "$gimp/$plugins/file-tarniff"; do
    strip --remove-section=.comment --remove-section=.note "$file"
  done
  for file in "$tool/usr/lib/tniff/TnIffFormat.so" "$pixbuf/$loaders/libpixbufloader-tarniff.so" \
              "$qt/$qt_plugins/libqtarniff.so"; do
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file"
  done

  # Each package's Depends from the libraries its binaries link, as dpkg-shlibdeps finds them. It
  # knows a package's tree by the DEBIAN folder at its root: made first, so that each binary is
  # seen where it is installed (without it, a warning for every binary that it "should already be
  # installed in their package's directory").
  for package in tarniff gimp-tarniff tarniff-pixbuf-loader tarniff-qt-plugin; do mkdir -p "$stages/$package/DEBIAN"; done
  local work=$build/debian-work
  rm -rf "$work"
  mkdir -p "$work/debian"
  cp packaging/debian/control packaging/debian/changelog "$work/debian/"
  (cd "$work" && dpkg-shlibdeps -Tdebian/tarniff.substvars "$tool/usr/bin/tniff" "$tool/usr/lib/tniff/TnIffFormat.so")
  (cd "$work" && dpkg-shlibdeps -Tdebian/gimp-tarniff.substvars "$gimp/$plugins/file-tarniff")
  (cd "$work" && dpkg-shlibdeps -Tdebian/tarniff-pixbuf-loader.substvars "$pixbuf/$loaders/libpixbufloader-tarniff.so")
  (cd "$work" && dpkg-shlibdeps -Tdebian/tarniff-qt-plugin.substvars "$qt/$qt_plugins/libqtarniff.so")
  for package in tarniff gimp-tarniff tarniff-pixbuf-loader tarniff-qt-plugin; do
    local stage=$stages/$package
    (cd "$work" && dpkg-gencontrol -p"$package" -P"$stage" -Tdebian/$package.substvars -fdebian/files)
    (cd "$stage" && find usr -type f | sort | xargs md5sum > DEBIAN/md5sums)
    settle_tree "$stage"
    local deb=$out/${package}_${version}_${arch}.deb
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
    echo "package: $deb ($(stat -c %s "$deb") bytes)"
  done
}

build_zip() {
  echo "package: the Windows module files (scripts/build-windows.sh)"
  bash scripts/build-windows.sh > "$out/.build-windows.log" 2>&1 ||
    { tail -30 "$out/.build-windows.log"; exit 1; }
  rm -f "$out/.build-windows.log"
  local stage
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  mkdir -p "$stage/32-bit" "$stage/64-bit"
  cp build-win32/TnIffFormat.8bi "$stage/32-bit/TnIffFormat.8bi"
  cp build-win64/TnIffFormat.8bi "$stage/64-bit/TnIffFormat.8bi"
  # Plain text with Windows line ends.
  sed -e "s|@VERSION@|$version|" -e 's/$/\r/' packaging/windows/INSTALL.txt > "$stage/INSTALL.txt"
  sed -e 's/$/\r/' LICENSE > "$stage/LICENSE.txt"
  (cd "$stage" && sha256sum 32-bit/TnIffFormat.8bi 64-bit/TnIffFormat.8bi INSTALL.txt LICENSE.txt > SHA256SUMS)
  local zip=$out/TarnIFF-$version-windows.zip
  # Members in name order, each dated SOURCE_DATE_EPOCH, mode 644, no extra fields.
  python3 - "$stage" "$zip" <<'PY'
import os, sys, time, zipfile
stage, target = sys.argv[1], sys.argv[2]
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
names = sorted(os.path.relpath(os.path.join(d, f), stage)
               for d, _, files in os.walk(stage) for f in files)
with zipfile.ZipFile(target + ".part", "w") as archive:
    for name in names:
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        with open(os.path.join(stage, name), "rb") as f:
            archive.writestr(info, f.read(), compresslevel=9)
os.replace(target + ".part", target)
PY
  echo "package: $zip ($(stat -c %s "$zip") bytes)"
}

[ "$make_deb" = 1 ] && build_deb
[ "$make_zip" = 1 ] && build_zip
exit 0
