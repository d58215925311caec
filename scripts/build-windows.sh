#!/usr/bin/env bash
# Builds the Windows files twice, with Debian's MinGW-w64 cross compilers:
#   build-win32/TnIffFormat.8bi   32-bit (i686), entry point under the property key "wx86"
#   build-win64/TnIffFormat.8bi   64-bit (x86-64), entry point under "8664"
# and beside each module, in build-winNN/bin/, tniff.exe and the imaging codec TnIffCodec.dll.
# Usage: bash scripts/build-windows.sh [win32|win64]...   (both when none is named)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(win32 win64)

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

for target in "${targets[@]}"; do
  case "$target" in
    win32) toolchain=cmake/mingw-w64-i686.cmake ;;
    win64) toolchain=cmake/mingw-w64-x86_64.cmake ;;
    *) echo "build-windows.sh: unknown target '$target' (win32 or win64)" >&2; exit 2 ;;
  esac
  dir="build-$target"
  # -O2 as in the native builds: the code is kept free of the warnings GCC gives at that level
  # (its -O3 adds maybe-uninitialized reports of its own). No tests: they run on Linux and Wine.
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DTNIFF_BUILD_TESTS=OFF
  fi
  # Warnings are errors when the test command asks for it (TNIFF_WERROR=1), never by default.
  cmake -S . -B "$dir" -DTNIFF_WERROR="$([ "${TNIFF_WERROR:-0}" = 1 ] && echo ON || echo OFF)" > /dev/null
  cmake --build "$dir" -j2
  echo "built $dir/TnIffFormat.8bi and $dir/bin"
done
