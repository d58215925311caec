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
#  4. builds the installer (scripts/package.sh --zip-only --out build-wine/installer) and runs it
#     silently in a fresh prefix (build-wine/install-prefix): the installed files and registry
#     entries, the installed codec and tniff.exe of each width (tests/windows/check_wic.sh and
#     check_tniff_exe.sh), an install over it, then the silent uninstall and that nothing of ours
#     is left. Lines "install win64: ...", "uninstall win32: ..." say which width they are about.
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

# ---- 4. the installer, end to end in a fresh prefix
# scripts/package.sh builds it from the files of step 1; a new prefix has nothing of ours before
# the silent install. After it: the files in Program Files and the plug-in folder, the codecs'
# registration in both registry views, the codec driven by a WIC client of each width and tniff.exe
# of each width, all as installed; an install over it that adds a 32-bit plug-in copy; then the
# silent uninstall, after which no file and no registry entry of ours is left.
installer_checks() {
  local version setup
  version=$(sed -n 's/^project(TarnIFF VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
  setup="build-wine/installer/TarnIFF-$version-setup.exe"
  rm -f "$setup"
  if ! bash scripts/package.sh --zip-only --out build-wine/installer > build-wine/installer.log 2>&1; then
    record FAIL "install: the installer was not built: $(grep '^package: ' build-wine/installer.log | tail -1)"
    return
  fi
  record PASS "install: built $setup"
  if ! runs_32bit_programs; then
    record SKIP "install: the installer is a 32-bit program and is not run: $runs_32bit_why"
    return
  fi
  if [ ! -x "$wine32" ]; then
    record FAIL "install: Wine's 32-bit loader is missing (package wine32:i386); run scripts/setup.sh"
    return
  fi

  local prefix="$root/build-wine/install-prefix"
  rm -rf "$prefix"
  prepare_wine_prefix "$prefix"
  "$wineserver" -w
  local drive="$prefix/drive_c" reg=(python3 tests/windows/wine_registry.py "$prefix")
  local home="$drive/Program Files/TarnIFF" plugins="$drive/Editor/Plug-ins"
  local plugins2="$drive/users/Public/Editor plug-ins"
  local key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TarnIFF'
  local environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
  mkdir -p "$plugins" "$plugins2"
  "${reg[@]}" keys | sort > build-wine/install-keys.before

  # A wrong switch stops the install before anything is written: status 2, no file.
  local bad rc
  for bad in '/PLUGINDIR=C:\No such editor\Plug-ins' '/PLUGINWIDTH=48' \
             '/PLUGINDIRS=C:\Editor\Plug-ins'; do
    "$wine32" "$setup" /S "$bad" > /dev/null 2>&1
    rc=$?
    "$wineserver" -w
    if [ $rc -eq 2 ] && [ ! -e "$home" ] && [ ! -e "$plugins/TnIffFormat.8bi" ]; then
      record PASS "install: /S $bad: status 2, nothing installed"
    else
      record FAIL "install: /S $bad: status $rc, $(ls "$home" 2> /dev/null | wc -l) files installed"
    fi
  done

  "$wine32" "$setup" /S '/PLUGINDIR=C:\Editor\Plug-ins' /PATH > /dev/null 2>&1
  rc=$?
  "$wineserver" -w
  if [ $rc -eq 0 ]; then
    record PASS "install: the silent install (/S /PLUGINDIR=... /PATH) ended with status 0"
  else
    record FAIL "install: the silent install ended with status $rc"
  fi

  local width dir file missing
  for width in win64 win32; do
    dir=$home
    [ $width = win32 ] && dir="$home/32-bit"
    missing=""
    for file in TnIffFormat.8bi bin/TnIffCodec.dll bin/tniff.exe; do
      cmp -s "$dir/${file#bin/}" "build-$width/$file" || missing="$missing ${dir#"$drive/"}/${file#bin/}"
    done
    if [ -z "$missing" ]; then
      record PASS "install $width: ${dir#"$drive/"} holds build-$width's module, codec and tniff.exe"
    else
      record FAIL "install $width: missing or not build-$width's:$missing"
    fi
  done
  missing=""
  for file in LICENSE.txt README.txt Uninstall.exe; do
    [ -s "$home/$file" ] || missing="$missing $file"
  done
  if [ -z "$missing" ]; then
    record PASS "install: Program Files/TarnIFF holds LICENSE.txt, README.txt and Uninstall.exe"
  else
    record FAIL "install: Program Files/TarnIFF lacks$missing"
  fi
  if cmp -s "$plugins/TnIffFormat.8bi" build-win64/TnIffFormat.8bi; then
    record PASS "install win64: the plug-in folder C:\\Editor\\Plug-ins holds the 64-bit module"
  else
    record FAIL "install win64: the plug-in folder C:\\Editor\\Plug-ins has no copy of the 64-bit module"
  fi

  # The codecs: found by their DLL's name, each registered in the view of its width.
  "${reg[@]}" codecs TnIffCodec.dll > build-wine/install-codecs.txt
  local view expected clsid clsids=""
  for width in win64 win32; do
    view=${width#win}
    expected='C:\Program Files\TarnIFF\TnIffCodec.dll'
    [ $width = win32 ] && expected='C:\Program Files\TarnIFF\32-bit\TnIffCodec.dll'
    clsid=$(awk -v view="$view" '$1 == view { print $2; exit }' build-wine/install-codecs.txt)
    if [ -z "$clsid" ]; then
      record FAIL "install $width: no class of the $view-bit registry view has TnIffCodec.dll as its server"
      continue
    fi
    clsids="$clsids|${clsid//[\{\}]/}"
    if "$wine" reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve "/reg:$view" 2> /dev/null |
         tr -d '\r' | grep -qiF "$expected"; then
      record PASS "install $width: reg query (/reg:$view) finds the codec $clsid at $expected"
    else
      record FAIL "install $width: reg query (/reg:$view) does not find $clsid's server $expected"
    fi
  done
  local values
  values=$("$wine" reg query "$key" /reg:64 2> /dev/null | tr -d '\r')
  missing=""
  for file in DisplayName DisplayVersion Publisher UninstallString QuietUninstallString \
              InstallLocation EstimatedSize NoModify NoRepair; do
    grep -q "^ *$file " <<< "$values" || missing="$missing $file"
  done
  if [ -z "$missing" ]; then
    record PASS "install: the list of programs has TarnIFF (the uninstall key with all its values)"
  else
    record FAIL "install: the uninstall key lacks:$missing"
  fi
  if "$wine" reg query "$environment" /v Path /reg:64 2> /dev/null | tr -d '\r' |
       grep -qiF ';C:\Program Files\TarnIFF'; then
    record PASS "install: /PATH put C:\\Program Files\\TarnIFF on the machine PATH"
  else
    record FAIL "install: /PATH did not put C:\\Program Files\\TarnIFF on the machine PATH"
  fi

  # The installed pieces driven by the other checks' scripts, each line naming its width.
  local linux_tniff="$root/build/bin/tniff" client script what loader
  for width in win64 win32; do
    loader="$wine"
    [ $width = win32 ] && loader="$wine32"
    for what in wic tniff_exe; do
      script=tests/windows/check_$what.sh
      if [ $what = wic ]; then
        client="$root/build-wine/$width/wic_client.exe"
      else
        client="$home/tniff.exe"
        [ $width = win32 ] && client="$home/32-bit/tniff.exe"
      fi
      if [ ! -f "$script" ]; then
        record FAIL "install $width: $script is missing: the installed $what is not driven"
      elif [ ! -x "$linux_tniff" ]; then
        record FAIL "install $width: $linux_tniff is missing (the native build): nothing to compare with"
      elif [ ! -f "$client" ]; then
        record FAIL "install $width: ${client#"$root/"} is missing: the installed $what is not driven"
      else
        bash "$script" "$width" "$loader" "$prefix" "$client" "$linux_tniff" \
          > "build-wine/install-$what-$width.log" 2>&1
        rc=$?
        # "PASS: wic win64: ..." becomes "PASS: install win64: wic: ...".
        sed -n -E -e "s/^(PASS|FAIL|SKIP): ([A-Za-z_.]+) $width: /\1: \2: /" \
          -e "s/^(PASS|FAIL|SKIP): /\1: install $width: /p" "build-wine/install-$what-$width.log" |
          tee -a "$log"
        if [ $rc -ne 0 ] && ! grep -q '^FAIL: ' "build-wine/install-$what-$width.log"; then
          tail -5 "build-wine/install-$what-$width.log"
          record FAIL "install $width: $script ended with status $rc"
        fi
      fi
    done
  done
  "$wineserver" -w

  # Again over it, for a 32-bit editor: the first copy stays the uninstaller's to remove.
  "$wine32" "$setup" /S '/PLUGINDIR2=C:\users\Public\Editor plug-ins' /PLUGINWIDTH=32 > /dev/null 2>&1
  rc=$?
  "$wineserver" -w
  if [ $rc -eq 0 ] && cmp -s "$plugins2/TnIffFormat.8bi" build-win32/TnIffFormat.8bi &&
     cmp -s "$plugins/TnIffFormat.8bi" build-win64/TnIffFormat.8bi; then
    record PASS "install win32: installed again with /PLUGINDIR2=... /PLUGINWIDTH=32: that folder holds the 32-bit module, the first copy is kept"
  else
    record FAIL "install win32: installed again with /PLUGINDIR2=... /PLUGINWIDTH=32: status $rc, the copies are not the 32- and 64-bit modules"
  fi

  # The silent uninstall as the list of programs has it. The uninstaller starts a copy of itself
  # and returns at once: the server's end is the uninstall's.
  local quiet
  quiet=$("$wine" reg query "$key" /v QuietUninstallString /reg:64 2> /dev/null | tr -d '\r' |
          sed -n 's/.*REG_SZ *//p')
  if [[ "$quiet" =~ ^\"([^\"]+)\"\ /S$ ]]; then
    "$wine32" "${BASH_REMATCH[1]}" /S > /dev/null 2>&1
    rc=$?
    "$wineserver" -w
    if [ $rc -eq 0 ]; then
      record PASS "uninstall: QuietUninstallString ($quiet) ended with status 0"
    else
      record FAIL "uninstall: QuietUninstallString ($quiet) ended with status $rc"
    fi
  else
    record FAIL "uninstall: no QuietUninstallString of the form \"...\\Uninstall.exe\" /S: '$quiet'"
    "$wine32" 'C:\Program Files\TarnIFF\Uninstall.exe' /S > /dev/null 2>&1
    "$wineserver" -w
  fi

  local left
  left=$(cd "$drive" && find . \( -iname '*tarniff*' -o -iname 'tniff*' -o -iname 'TnIff*' \) -print)
  if [ -z "$left" ] && [ -d "$plugins" ] && [ -d "$plugins2" ]; then
    record PASS "uninstall: no file of ours is left (Program Files, both plug-in folders; the folders stay)"
  else
    record FAIL "uninstall: left: $(tr '\n' ' ' <<< "$left")$([ -d "$plugins" ] || echo "(the plug-in folder was removed)")"
  fi
  for view in 64 32; do
    left=""
    "$wine" reg query "$key" "/reg:$view" > /dev/null 2>&1 && left="$left the uninstall key,"
    for clsid in ${clsids//|/ }; do
      clsid="{$clsid}"
      "$wine" reg query "HKCR\\CLSID\\$clsid" "/reg:$view" > /dev/null 2>&1 && left="$left CLSID $clsid,"
      "$wine" reg query "HKCR\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\$clsid" \
        "/reg:$view" > /dev/null 2>&1 && left="$left the decoder Instance $clsid,"
    done
    if [ -z "$left" ]; then
      record PASS "uninstall win$view: reg query (/reg:$view) finds neither the uninstall key nor the codec's class and Instance entry"
    else
      record FAIL "uninstall win$view: reg query (/reg:$view) still finds$left"
    fi
  done
  if "$wine" reg query "$environment" /v Path /reg:64 2> /dev/null | tr -d '\r' | grep -qi 'TarnIFF'; then
    record FAIL "uninstall: the machine PATH still names TarnIFF's folder"
  else
    record PASS "uninstall: the machine PATH no longer names TarnIFF's folder"
  fi
  "$wineserver" -w
  # Every key and value, both views and the user's: nothing that names us, no key new since the
  # fresh prefix that is .iff's or one of our classes.
  "${reg[@]}" keys | sort > build-wine/install-keys.after
  left=$({ "${reg[@]}" mentions "tarniff|tniff|TnIff${clsids}"
           comm -13 build-wine/install-keys.before build-wine/install-keys.after |
             grep -iE '\\\.iff(\\|$)'; } | sort -u)
  if [ -z "$left" ]; then
    record PASS "uninstall: no registry key or value names TarnIFF, its codec or .iff (system.reg, user.reg)"
  else
    record FAIL "uninstall: registry entries left: $(head -5 <<< "$left" | tr '\n' ' ')"
  fi
}
installer_checks

passed=$(grep -c '^PASS: ' "$log")
failed=$(grep -c '^FAIL: ' "$log")
skipped=$(grep -c '^SKIP: ' "$log")
if [ "${TNIFF_WINDOWS_NO_SKIPS:-0}" = 1 ]; then
  failed=$((failed + skipped))
fi
echo "Windows checks: $skipped skipped"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
