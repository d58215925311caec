#!/usr/bin/env bash
# Checks of the Windows module files, run by the test command:
#  1. builds build-win32/TnIffFormat.8bi and build-win64/TnIffFormat.8bi (scripts/build-windows.sh);
#  2. checks each file's exports, imported DLLs and resources (tests/windows/check_module_file.py);
#  3. builds the Windows host program (tests/windows) for each width, into build-wine/win32 and
#     build-wine/win64, and runs each under Wine on a virtual display against the module of its
#     width: About box, alerts, fallback handles, the raw record at the host's offsets, saves and
#     opens on Windows file handles; then the library's Windows part (tests/windows/library_run.cpp):
#     opens from a path and from bytes, outputs written whole, leftovers of dead and live writers.
#     Each line names the module it is about ("wine win32: ...").
#     Where the kernel runs no 32-bit program the 32-bit run is one SKIP line saying so.
# Every check prints PASS, FAIL or SKIP; the last line is "N passed, M failed". Exit status 1 when
# anything failed. TNIFF_WINDOWS_NO_SKIPS=1 counts skipped checks as failures.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

mkdir -p build-wine
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

record() {  # PASS|FAIL|SKIP, text
  echo "$1: $2" | tee -a "$log"
}

# ---- 1. the module files
if bash scripts/build-windows.sh > build-wine/build-windows.log 2>&1; then
  record PASS "build: both Windows module files built"
else
  tail -30 build-wine/build-windows.log
  record FAIL "build: scripts/build-windows.sh failed (see build-wine/build-windows.log)"
fi

# ---- 2. exports, imports, resources
for variant in win32 win64; do
  python3 tests/windows/check_module_file.py "build-$variant/TnIffFormat.8bi" "$variant" \
    | tee -a "$log"
done

# ---- 3. each module driven under Wine by the Windows host of its own width
source scripts/wine_prefix.sh
source scripts/runs_32bit.sh
# One prefix for both: a 64-bit prefix runs 32-bit programs beside 64-bit ones (WoW64). It is
# made on the first run (a few seconds) and kept in the build directory.
prefix="$root/build-wine/wineprefix"
for variant in win32 win64; do
  case "$variant" in
    win32) toolchain=mingw-w64-i686.cmake ;;
    win64) toolchain=mingw-w64-x86_64.cmake ;;
  esac
  dir="build-wine/$variant"
  mkdir -p "$dir"
  if [ ! -x "$wine" ] || ! command -v xvfb-run > /dev/null; then
    record FAIL "wine $variant: Wine or xvfb-run is missing; run scripts/setup.sh"
    continue
  fi
  if [ "$variant" = win32 ] && ! runs_32bit_programs; then
    record SKIP "wine $variant: the 32-bit module is not driven: $runs_32bit_why"
    continue
  fi
  loader="$wine"
  if [ "$variant" = win32 ]; then
    loader="$wine32"
    if [ ! -x "$loader" ]; then
      record FAIL "wine $variant: Wine's 32-bit loader is missing (package wine32:i386); run scripts/setup.sh"
      continue
    fi
  fi
  if ! { cmake -S tests/windows -B "$dir" -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
         && cmake --build "$dir" -j2; } > "$dir/build.log" 2>&1; then
    tail -30 "$dir/build.log"
    record FAIL "wine $variant: the Windows host program did not build (see $dir/build.log)"
    continue
  fi
  if [ ! -f "build-$variant/TnIffFormat.8bi" ]; then
    record FAIL "wine $variant: no module file build-$variant/TnIffFormat.8bi to load"
    continue
  fi
  rm -rf "$dir/run"
  mkdir -p "$dir/run"
  prepare_wine_prefix "$prefix"
  (cd "$dir" && timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" bash -c \
    '"$1" windows_host_run.exe "Z:$2/build-$3/TnIffFormat.8bi" run; rc=$?; "$4" -w; exit $rc' \
    run-wine "$loader" "$root" "$variant" "$wineserver") > "$dir/run.log" 2> "$dir/run.err"
  rc=$?
  # Every line says which module it is about.
  sed -n -E "s/^(PASS|FAIL|SKIP): wine: /\1: wine $variant: /p" "$dir/run.log" | tee -a "$log"
  sed -n -E "s/^wine: /wine $variant: /p" "$dir/run.log"
  if [ $rc -ne 0 ] && ! grep -q '^FAIL: ' "$dir/run.log"; then
    tail -20 "$dir/run.err"
    record FAIL "wine $variant: the Windows host program ended with status $rc"
  fi
  # The library's opens and outputs on Windows files, with the module beside the program.
  cp "build-$variant/TnIffFormat.8bi" "$dir/TnIffFormat.8bi"
  (cd "$dir" && timeout 300 "$loader" library_run.exe "Z:$root/samples/render.iff" 'run\library' \
     > library.log 2> library.err; rc=$?; "$wineserver" -w; exit $rc)
  rc=$?
  sed -n -E "s/^(PASS|FAIL|SKIP): wine: /\1: wine $variant: /p" "$dir/library.log" | tee -a "$log"
  if [ $rc -ne 0 ] && ! grep -q '^FAIL: ' "$dir/library.log"; then
    tail -20 "$dir/library.err"
    record FAIL "wine $variant: the library's Windows run ended with status $rc"
  fi
done

passed=$(grep -c '^PASS: ' "$log")
failed=$(grep -c '^FAIL: ' "$log")
skipped=$(grep -c '^SKIP: ' "$log")
if [ "${TNIFF_WINDOWS_NO_SKIPS:-0}" = 1 ]; then
  failed=$((failed + skipped))
fi
echo "Windows checks: $skipped skipped"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
