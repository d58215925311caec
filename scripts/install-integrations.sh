#!/usr/bin/env bash
# Installs the module into GIMP and the GdkPixbuf image stack (viewers, thumbnails):
#   bash scripts/install-integrations.sh [--user|--system] [--uninstall] [--build-dir DIR]
# --user (the default) installs for the current user only:
#   GIMP plug-in    ~/.config/GIMP/2.10/plug-ins/file-tarniff/ (or under $GIMP2_DIRECTORY)
#   pixbuf loader   ~/.local/lib/tarniff/ with its own loaders cache (the system's loaders and
#                   this one); the thumbnailer entry points gdk-pixbuf-thumbnailer at that cache
#   MIME type       ~/.local/share/mime/ (image/x-tarniff), thumbnailer ~/.local/share/thumbnailers/
# --system installs for everyone (as root): GIMP's plug-in folder, gdk-pixbuf's loader folder and
#   its loaders cache, /usr/share/mime and /usr/share/thumbnailers.
# Builds build/ (or --build-dir) first when the plug-in or the loader is missing there.
set -euo pipefail
cd "$(dirname "$0")/.."

scope=user
action=install
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --user) scope=user ;;
    --system) scope=system ;;
    --uninstall) action=uninstall ;;
    --build-dir) build=$2; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-integrations: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

pixbuf_var() { pkg-config --variable="$1" gdk-pixbuf-2.0; }
query_loaders=$(pixbuf_var gdk_pixbuf_query_loaders 2>/dev/null || true)
[ -x "$query_loaders" ] || query_loaders=$(command -v gdk-pixbuf-query-loaders || true)
thumbnailer_program=$(command -v gdk-pixbuf-thumbnailer || echo /usr/bin/gdk-pixbuf-thumbnailer)

if [ "$scope" = user ]; then
  data=${XDG_DATA_HOME:-$HOME/.local/share}
  plugin_dir=${GIMP2_DIRECTORY:-${XDG_CONFIG_HOME:-$HOME/.config}/GIMP/2.10}/plug-ins/file-tarniff
  loader_dir=$HOME/.local/lib/tarniff
  module_dir=$loader_dir
  cache=$loader_dir/loaders.cache
  exec_prefix="env GDK_PIXBUF_MODULE_FILE=$cache "
else
  data=/usr/share
  plugin_dir=$(gimptool-2.0 --gimpplugindir 2>/dev/null || echo /usr/lib/gimp/2.0)/plug-ins/file-tarniff
  loader_dir=$(pixbuf_var gdk_pixbuf_moduledir)
  module_dir=$loader_dir/tarniff
  cache=$(pixbuf_var gdk_pixbuf_cache_file)
  exec_prefix=""
fi
mime_dir=$data/mime
thumbnailer=$data/thumbnailers/tarniff.thumbnailer

refresh() {
  if [ -d "$mime_dir/packages" ]; then update-mime-database "$mime_dir"; fi
  if [ "$scope" = system ]; then
    "$query_loaders" --update-cache
  elif [ -f "$loader_dir/libpixbufloader-tarniff.so" ]; then
    "$query_loaders" "$(pixbuf_var gdk_pixbuf_moduledir)"/*.so "$loader_dir/libpixbufloader-tarniff.so" > "$cache"
  fi
}

if [ "$action" = uninstall ]; then
  rm -rf "$plugin_dir"
  rm -f "$loader_dir/libpixbufloader-tarniff.so" "$module_dir/TnIffFormat.so" "$mime_dir/packages/tarniff-mime.xml" \
        "$thumbnailer"
  if [ "$scope" = user ]; then rm -f "$cache"; rmdir "$loader_dir" 2>/dev/null || true
  else rmdir "$module_dir" 2>/dev/null || true; fi
  refresh
  echo "install-integrations: removed the GIMP plug-in, the image loader, the MIME type and the thumbnailer ($scope)"
  exit 0
fi

if [ ! -x "$build/bin/file-tarniff" ] || [ ! -f "$build/bin/libpixbufloader-tarniff.so" ]; then
  echo "install-integrations: building in $build"
  mkdir -p "$build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build/configure.log"
  cmake --build "$build" -j 2 --target file-tarniff pixbufloader-tarniff TnIffFormat
fi
for built in file-tarniff libpixbufloader-tarniff.so TnIffFormat.so; do
  if [ ! -f "$build/bin/$built" ]; then
    echo "install-integrations: $build/bin/$built was not built (are libgimp2.0-dev and libgdk-pixbuf-2.0-dev installed?)" >&2
    exit 1
  fi
done

install -d "$plugin_dir" "$loader_dir" "$module_dir" "$mime_dir/packages" "$(dirname "$thumbnailer")"
# GIMP runs every executable in its plug-in folders: the module file beside the plug-in is not one.
install -m 755 "$build/bin/file-tarniff" "$plugin_dir/file-tarniff"
install -m 644 "$build/bin/TnIffFormat.so" "$plugin_dir/TnIffFormat.so"
install -m 644 "$build/bin/libpixbufloader-tarniff.so" "$loader_dir/libpixbufloader-tarniff.so"
install -m 644 "$build/bin/TnIffFormat.so" "$module_dir/TnIffFormat.so"
install -m 644 integrations/gdk-pixbuf/tarniff-mime.xml "$mime_dir/packages/tarniff-mime.xml"
sed -e "s|@THUMBNAILER@|$thumbnailer_program|g" -e "s|@EXEC_PREFIX@|$exec_prefix|" \
  integrations/gdk-pixbuf/tarniff.thumbnailer.in > "$thumbnailer"
refresh

echo "install-integrations: installed ($scope)"
echo "  GIMP plug-in   $plugin_dir"
echo "  image loader   $loader_dir/libpixbufloader-tarniff.so (loaders cache $cache)"
echo "  MIME type      image/x-tarniff in $mime_dir"
echo "  thumbnailer    $thumbnailer"
if [ "$scope" = user ]; then
  echo "Image viewers find the loader when GDK_PIXBUF_MODULE_FILE=$cache is set (e.g. in ~/.profile);"
  echo "thumbnails and GIMP need nothing more. --system installs it for every program."
fi
