#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test, once normally and once
# under AddressSanitizer and UndefinedBehaviorSanitizer, then once more built for 32-bit Linux
# (i686), run natively (or under qemu where the kernel cannot); then builds the 32- and 64-bit
# Windows modules, checks them and drives each under Wine. The Python package is installed with
# pip into a virtual environment in build/ and tested there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  echo "== build $dir $*"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTNIFF_WERROR=ON "$@" > "$dir/configure.log" 2>&1 \
    || { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

mkdir -p build build-asan
run_suite build
echo "== GIMP plug-in and GdkPixbuf loader"
bash integrations/tests/run_checks.sh build
echo "== Python package"
bash python/tests/run_tests.sh build
echo "== web page"
bash web/tests/run.sh --native build

ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DTNIFF_SANITIZE=ON

# Pointers of 4 bytes: the module, the host, the tool and the tests as i686 programs, run
# natively where the kernel runs 32-bit programs, else under qemu-i386 (where the tests that start
# tniff as a separate program are left out; see cmake/i686-linux.cmake).
source scripts/runs_32bit.sh
mkdir -p build-i686
if runs_32bit_programs; then
  echo "== i686: run natively"
  run_suite build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux.cmake -DTNIFF_I686_EMULATOR=OFF
else
  echo "== i686: under qemu-i386 ($runs_32bit_why)"
  run_suite build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux.cmake -DTNIFF_I686_EMULATOR=ON
fi

# Each fuzz target for a short while on its corpus (clang, libFuzzer, ASan and UBSan, in build-fuzz/).
echo "== fuzz targets"
bash scripts/fuzz.sh 30

if [ -f scripts/windows-checks.sh ]; then
  echo "== Windows modules"
  # Reading and saving are built: a check that would be skipped as not yet built fails instead.
  TNIFF_WINDOWS_NO_SKIPS=1 TNIFF_WERROR=1 bash scripts/windows-checks.sh
fi

# The Debian package and the Windows zip, as a user gets them, and built twice to the same bytes.
echo "== release packages"
TNIFF_WERROR=1 bash scripts/check_package.sh build

echo "test: all suites passed"
