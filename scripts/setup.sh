#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing, and any
# further packages named on the command line (scripts that need more pass theirs).
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

PACKAGES=(
  # build and native tests
  cmake make g++ pkg-config binutils libgtest-dev libgmock-dev libbenchmark-dev
  # the command-line tool's PNG support
  libpng-dev
  # fuzzing and checking
  clang libclang-rt-14-dev valgrind
  # Windows module cross-builds and their run under Wine
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 fonts-wine xvfb xauth python3
)
PACKAGES+=("$@")

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
