#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing.
#   bash scripts/setup.sh            everything the test command uses
#   bash scripts/setup.sh --native   only what the native build needs (module, tniff, tests)
#   bash scripts/setup.sh --web      that and what the web page's build and tests need
# Further arguments name extra packages (scripts that need more pass theirs).
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

NATIVE=(
  # the native build and its tests (the tests drive the tool and read its JSON with python3)
  cmake make g++ pkg-config binutils libgtest-dev python3
  # the command-line tool's PNG support
  libpng-dev
  # and its TIFF support
  libtiff-dev
)
WINDOWS=(
  # Windows module cross-builds and their run under Wine, 64-bit (wine64) and 32-bit (wine32:i386;
  # Debian's /usr/bin/wine picks the loader from the program)
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 fonts-wine xvfb xauth
)
FUZZ=(
  # the fuzz targets: clang with libFuzzer and the sanitizers' runtimes
  clang libclang-rt-14-dev
)
INTEGRATIONS=(
  # the GIMP plug-in and the GdkPixbuf loader, and their checks (gimp-console, the thumbnailer, gio)
  gimp libgimp2.0-dev libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin shared-mime-info libglib2.0-bin
)
QT=(
  # the Qt image plug-in (Qt 5's Gui module, moc) and its checks: the viewer's run on a virtual
  # display (xvfb, xwininfo from x11-utils, a session bus for the single-instance viewer)
  qtbase5-dev xvfb xauth x11-utils dbus
)
# The Qt viewer the checks open a file in, installed without the packages it recommends: none of
# the image-format plug-ins that come that way may read this format.
QT_VIEWER=(lximage-qt)
PYTHON=(
  # the Python package: its extension (pybind11, the Python headers), pip's build in a virtual
  # environment (setuptools and wheel from Debian, no package index) and its tests
  python3-venv python3-pip python3-setuptools python3-wheel python3-dev pybind11-dev python3-pybind11
  python3-numpy python3-pil python3-pytest
)
I686=(
  # the 32-bit (i686) build of the module, host, tool and tests, run natively where the kernel
  # runs 32-bit programs and under qemu's user-mode emulation where it does not; the :i386
  # packages need the i386 architecture, added below when missing
  qemu-user g++-multilib libgtest-dev:i386 libpng-dev:i386 libtiff-dev:i386
)
RELEASE=(
  # the release packages (scripts/package.sh) and their checks: dpkg-shlibdeps, dpkg-gencontrol
  # and dpkg-architecture, and lintian (python3 writes and reads the zip)
  dpkg-dev lintian
)

WEB=(
  # the web page: the module, host and library compiled to WebAssembly (Debian's Emscripten finds
  # acorn through NODE_PATH), the browsers its tests drive headless, and Node.js for the driver
  # (npm comes with it from some sources; web/tests/run.sh asks for Debian's when it is missing)
  emscripten node-acorn chromium firefox-esr nodejs
)

PACKAGES=("${NATIVE[@]}")
WITHOUT_RECOMMENDS=()
if [ "${1:-}" = "--native" ]; then
  shift
elif [ "${1:-}" = "--web" ]; then
  shift
  PACKAGES+=("${WEB[@]}")
else
  PACKAGES+=("${WINDOWS[@]}" "${FUZZ[@]}" "${INTEGRATIONS[@]}" "${PYTHON[@]}" "${I686[@]}" "${WEB[@]}")
  PACKAGES+=("${RELEASE[@]}")
  PACKAGES+=("${QT[@]}")
  WITHOUT_RECOMMENDS=("${QT_VIEWER[@]}")
fi
PACKAGES+=("$@")

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for package in "${PACKAGES[@]}"; do
  is_installed "$package" || missing+=("$package")
done
missing_without_recommends=()
for package in "${WITHOUT_RECOMMENDS[@]}"; do
  is_installed "$package" || missing_without_recommends+=("$package")
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_without_recommends[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]} ${missing_without_recommends[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi

# Another package manager at work (an unattended upgrade, a second setup) holds apt's locks: wait
# for it, up to 20 minutes, instead of failing. DPkg::Lock::Timeout covers dpkg's lock; the
# package lists' lock is waited for by trying again.
apt_get() {
  local attempt err
  err="$(mktemp)"
  for attempt in $(seq 1 120); do
    if $SUDO apt-get -o DPkg::Lock::Timeout=1200 "$@" 2> "$err"; then
      cat "$err" >&2
      rm -f "$err"
      return 0
    fi
    if ! grep -q "Could not get lock\|Unable to lock\|Unable to acquire" "$err"; then
      cat "$err" >&2
      rm -f "$err"
      return 1
    fi
    [ "$attempt" = 1 ] && echo "setup: another package manager is running; waiting for it"
    sleep 10
  done
  cat "$err" >&2
  rm -f "$err"
  return 1
}
apt_get update -qq
# With recommended packages: Wine's X11 driver loads the X libraries and fonts that libwine only
# recommends, and the Windows run's dialog layout depends on them.
[ ${#missing[@]} -eq 0 ] || apt_get install -y -qq "${missing[@]}"
if [ ${#missing_without_recommends[@]} -ne 0 ]; then
  apt_get install -y -qq --no-install-recommends "${missing_without_recommends[@]}"
fi
