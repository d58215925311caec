#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that the installed tniff finds the module
# in PREFIX/lib/tniff and converts with it, that a copy of tniff elsewhere finds a module, and
# that the manual page is installed and formats.
#     bash scripts/check_install.sh BUILD_DIR
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" > "$prefix/install.log"
test -x "$prefix/bin/tniff"
test -f "$prefix/lib/tniff/TnIffFormat.so"
test -f "$prefix/share/man/man1/tniff.1"
# The build's own module must not be what the installed tniff uses; --version names it by its
# own path, not the way there from tniff.
"$prefix/bin/tniff" --version | grep -q "^module .* $(realpath "$prefix")/lib/tniff/TnIffFormat.so$"
"$prefix/bin/tniff" -q convert "$source_dir/samples/render.iff" "$prefix/render.png"
test -s "$prefix/render.png"

mkdir "$prefix/elsewhere"
cp "$prefix/bin/tniff" "$prefix/elsewhere/tniff"
"$prefix/elsewhere/tniff" --version | grep -q "^module 0\."
"$prefix/elsewhere/tniff" -q info --brief "$source_dir/samples/render.iff" | grep -q "tiles complete"

# Without its own module the installed tniff fails; it never takes the build's.
mv "$prefix/lib/tniff/TnIffFormat.so" "$prefix/TnIffFormat.so.away"
if "$prefix/bin/tniff" --version > "$prefix/version.txt"; then
  echo "install: --version succeeded without the installed module" >&2; exit 1
fi
grep -q "^module not found: " "$prefix/version.txt"
if "$prefix/bin/tniff" -q convert "$source_dir/samples/render.iff" "$prefix/again.png" 2> /dev/null; then
  echo "install: the installed tniff converted without its own module" >&2; exit 1
fi
mv "$prefix/TnIffFormat.so.away" "$prefix/lib/tniff/TnIffFormat.so"

if command -v man > /dev/null; then
  MANWIDTH=80 man -l "$prefix/share/man/man1/tniff.1" 2> /dev/null | grep -q "max-image-size"
fi
echo "install: bin/tniff, lib/tniff/TnIffFormat.so and the manual page work"
