#!/usr/bin/env bash
# Checks of the imaging codec (TnIffCodec.dll) under Wine, through WIC as any program uses it:
#   bash tests/windows/check_wic.sh WIDTH WINE PREFIX CLIENT_EXE LINUX_TNIFF
# WIDTH is win32 or win64, WINE the loader of that width, PREFIX a Wine prefix in which the codec
# is registered already, CLIENT_EXE tests/windows' wic_client.exe of that width and LINUX_TNIFF
# the Linux tniff (tniff_make_integration_files beside it makes the test files). Every check is
# one line, "PASS: wic WIDTH: ..." or "FAIL: wic WIDTH: ..."; the exit status is 1 when one
# failed. The codec is listed by WIC; the sample and files of every kind of planes decode, by
# name and from a stream, to the pixels the Linux tniff gives; a file without an extension
# decodes by its content; a damaged, a cut and a foreign file fail, with their HRESULTs.
#
#   bash tests/windows/check_wic.sh --own WIDTH
# registers this tree's build-WIDTH/bin/TnIffCodec.dll (with the module copied beside it) in a
# throwaway prefix under build-wine/, runs the checks above, unregisters it and checks that no
# registry entry of the codec is left. Needs build/bin/tniff (the Linux build) and builds
# build-wine/WIDTH/wic_client.exe when it is missing.
#
#   bash tests/windows/check_wic.sh --own-registry
# registers both widths' codecs in a throwaway prefix and checks the registry: the decoder in
# each width's view, the extension's entries kept until the last width is unregistered, and a
# type that another program gave .iff kept through a registration and its removal.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
python=/usr/bin/python3
decoder_clsid='{97A03B7D-F075-420E-857D-3EC56C6595D5}'

failed=0
record() {  # PASS|FAIL, width, text
  echo "$1: wic $2: $3"
  [ "$1" = FAIL ] && failed=1
  return 0
}

# The path Wine's programs take for a file of this machine (Z: is the root).
windows_path() { echo "Z:$1"; }

# Whether two PAM files hold the same pixels, as RGBA: a gray or RGB file (what tniff writes for
# a file without alpha) stands for R = G = B and alpha 255, and a depth plane after the colour
# (RGB_ALPHA_DEPTH, GRAYSCALE_DEPTH) is no part of the image shown; a file of depth alone
# (DEPTH) is shown as its gray.
same_pixels() {
  "$python" - "$1" "$2" <<'EOF'
import sys

def rgba(path):
    data = open(path, "rb").read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(b" ", 1) for line in data[:end].split(b"\n")[1:-2])
    width, height, depth = int(fields[b"WIDTH"]), int(fields[b"HEIGHT"]), int(fields[b"DEPTH"])
    pixels = data[end:]
    if len(pixels) != width * height * depth:
        sys.exit("%s: %d bytes of pixels, not %d" % (path, len(pixels), width * height * depth))
    kind = fields.get(b"TUPLTYPE", b"").strip()
    gray = not kind.startswith(b"RGB")
    alpha = b"_ALPHA" in kind
    out = bytearray()
    for i in range(0, len(pixels), depth):
        p = pixels[i:i + depth]
        colour = bytes([p[0]] * 3) if gray else p[:3]
        out += colour + (p[1 if gray else 3:][:1] if alpha else b"\xff")
    return width, height, bytes(out)

a, b = rgba(sys.argv[1]), rgba(sys.argv[2])
if a[:2] != b[:2]:
    sys.exit("size %dx%d, not %dx%d" % (a[0], a[1], b[0], b[1]))
if a[2] != b[2]:
    first = next(i for i in range(len(a[2])) if a[2][i] != b[2][i]) // 4
    sys.exit("pixels differ, first at pixel %d" % first)
EOF
}

run_checks() {  # WIDTH WINE PREFIX CLIENT_EXE LINUX_TNIFF
  local work
  work="$(mktemp -d "${TMPDIR:-/tmp}/check_wic.XXXXXX")"
  checks_in "$work" "$@"
  rm -rf "$work"
}

checks_in() {  # WORK WIDTH WINE PREFIX CLIENT_EXE LINUX_TNIFF
  local work="$1" width="$2" wine="$3" client="$5" tniff="$6"
  export WINEPREFIX="$4" WINEDEBUG=-all
  local maker
  maker="$(dirname "$tniff")/tniff_make_integration_files"

  if "$wine" "$client" --list > "$work/list.txt" 2>&1 && tr -d '\r' < "$work/list.txt" | grep -qx 'TarnIFF Decoder'; then
    record PASS "$width" "WIC lists the codec among its decoders"
  else
    record FAIL "$width" "WIC does not list the codec: $(tr '\r\n' '  ' < "$work/list.txt")"
  fi

  if ! "$maker" "$work/files" > /dev/null 2>&1; then
    record FAIL "$width" "no test files: $maker did not run"
    return
  fi
  cp "$root/samples/render.iff" "$work/files/render.iff"
  # A file named without an extension: WIC picks the decoder by the first bytes.
  cp "$work/files/rgba-depth.iff" "$work/files/no-extension"
  local name file mode
  for name in render gray rgb-raw rgb-compressed rgba rgba-depth gray-depth depth-only \
              no-extension; do
    file="$work/files/$name"
    [ -f "$file" ] || file="$file.iff"
    if ! "$tniff" convert "$file" "$work/$name.linux.pam" > /dev/null 2>&1; then
      record FAIL "$width" "$name: the Linux tniff did not convert it"
      continue
    fi
    for mode in name stream; do
      local option=() out="$work/$name.$mode.pam"
      [ "$mode" = stream ] && option=(--stream)
      if ! "$wine" "$client" "${option[@]}" "$(windows_path "$file")" "$(windows_path "$out")" \
           > "$work/out.txt" 2>&1; then
        record FAIL "$width" "$name by $mode: $(tr '\r\n' '  ' < "$work/out.txt")"
      elif ! grep -q '^decoder: TarnIFF Decoder' "$work/out.txt"; then
        record FAIL "$width" "$name by $mode: decoded by another decoder: $(tr '\r\n' '  ' < "$work/out.txt")"
      elif ! why="$(same_pixels "$out" "$work/$name.linux.pam" 2>&1)"; then
        record FAIL "$width" "$name by $mode: not the pixels tniff gives: $why"
      else
        record PASS "$width" "$name by $mode: the pixels tniff gives ($(sed -n 's/^size: //p' "$work/out.txt" | tr -d '\r'))"
      fi
    done
  done

  # Copies cut short or with bytes overwritten: WIC gives an image of exactly those that tniff
  # converts (a byte overwritten in raw pixel data leaves a whole file), with the same pixels.
  local copies=0 disagreements=()
  for file in "$work"/files/robust/rgba-depth-*.iff; do
    name="$(basename "$file" .iff)"
    copies=$((copies + 1))
    local linux=no windows=no
    "$tniff" convert "$file" "$work/robust.linux.pam" > /dev/null 2>&1 && linux=yes
    "$wine" "$client" "$(windows_path "$file")" "$(windows_path "$work/robust.pam")" \
      > "$work/out.txt" 2>&1 && windows=yes
    if [ $linux != $windows ]; then
      disagreements+=("$name (tniff: $linux, WIC: $windows $(tr -d '\r' < "$work/out.txt" | tr '\n' ' '))")
    elif [ $linux = yes ] && ! same_pixels "$work/robust.pam" "$work/robust.linux.pam" > /dev/null 2>&1; then
      disagreements+=("$name (other pixels)")
    fi
    rm -f "$work/robust.pam" "$work/robust.linux.pam"
  done
  if [ $copies -eq 0 ]; then
    record FAIL "$width" "no damaged copies were made"
  elif [ ${#disagreements[@]} -eq 0 ]; then
    record PASS "$width" "$copies damaged copies: WIC gives an image of exactly those tniff converts, with its pixels"
  else
    record FAIL "$width" "damaged copies where WIC and tniff disagree: ${disagreements[*]}"
  fi

  # Files that must fail, each with the HRESULT that says why, and no image written.
  printf 'not an image at all, only text named .iff\n' > "$work/files/text.iff"
  local expected
  for name in truncated:0x88982F60 damaged-tile:0x88982F60 broken:0x88982F60 \
              text:0x88982F50; do
    expected="${name#*:}"
    name="${name%%:*}"
    for mode in name stream; do
      local option=() out="$work/$name.$mode.pam" status
      [ "$mode" = stream ] && option=(--stream)
      "$wine" "$client" "${option[@]}" "$(windows_path "$work/files/$name.iff")" \
        "$(windows_path "$out")" > "$work/out.txt" 2>&1
      status=$?
      local said
      said="$(tr -d '\r' < "$work/out.txt" | grep -o 'failed: 0x[0-9A-F]*' | head -1)"
      if [ $status -ne 1 ]; then
        record FAIL "$width" "$name.iff by $mode: ended with status $status, not 1: $(tr '\r\n' '  ' < "$work/out.txt")"
      elif [ -e "$out" ]; then
        record FAIL "$width" "$name.iff by $mode: failed, but an image was written"
      elif [ "$said" != "failed: $expected" ]; then
        record FAIL "$width" "$name.iff by $mode: ${said:-no HRESULT printed}, not $expected"
      else
        record PASS "$width" "$name.iff by $mode: refused with $expected, nothing written"
      fi
    done
  done
}

# The keys and values of the codec in the registry, as "reg query" lists them; empty when none.
codec_entries() {  # WINE VIEW(32|64)
  local wine="$1" view="$2" key
  for key in "HKLM\\Software\\Classes\\CLSID\\$decoder_clsid" \
             "HKLM\\Software\\Classes\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\$decoder_clsid" \
             'HKLM\Software\Classes\.iff' 'HKLM\Software\Classes\TarnIFF.Image'; do
    "$wine" reg query "$key" /s "/reg:$view" 2> /dev/null | tr -d '\r' | grep -E '^(HKEY|    )'
  done
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\KindMap' /v .iff \
    /reg:64 2> /dev/null | tr -d '\r' | grep -E '^    \.iff'
}

own_run() {  # WIDTH
  local width="$1"
  source "$root/scripts/wine_prefix.sh"
  local loader="$wine" toolchain=mingw-w64-x86_64.cmake view=64
  if [ "$width" = win32 ]; then
    loader="$wine32" toolchain=mingw-w64-i686.cmake view=32
  fi
  local build="$root/build-$width" client="$root/build-wine/$width/wic_client.exe"
  local tniff="$root/build/bin/tniff"
  for needed in "$build/bin/TnIffCodec.dll" "$build/TnIffFormat.8bi" "$tniff"; do
    if [ ! -f "$needed" ]; then
      record FAIL "$width" "$needed is missing: build it first"
      return
    fi
  done
  if [ ! -f "$client" ]; then
    { cmake -S "$root/tests/windows" -B "$root/build-wine/$width" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" &&
      cmake --build "$root/build-wine/$width" --target wic_client; } > /dev/null ||
      { record FAIL "$width" "wic_client.exe did not build"; return; }
  fi
  cp "$build/TnIffFormat.8bi" "$build/bin/TnIffFormat.8bi"
  mkdir -p "$root/build-wine"
  local prefix
  prefix="$(mktemp -d "$root/build-wine/wic-prefix.XXXXXX")"
  prepare_wine_prefix "$prefix"
  local codec
  codec="$(windows_path "$build/bin/TnIffCodec.dll")"
  if "$loader" regsvr32 /s "$codec"; then
    record PASS "$width" "regsvr32 registered the codec"
  else
    record FAIL "$width" "regsvr32 did not register the codec"
  fi
  run_checks "$width" "$loader" "$prefix" "$client" "$tniff"
  # Without the module beside it the codec says so, rather than giving an image or crashing.
  mv "$build/bin/TnIffFormat.8bi" "$build/bin/TnIffFormat.8bi.away"
  local said
  said="$("$loader" "$client" "$(windows_path "$root/samples/render.iff")" \
          "$(windows_path "$prefix/no-module.pam")" 2>&1 | tr -d '\r')"
  mv "$build/bin/TnIffFormat.8bi.away" "$build/bin/TnIffFormat.8bi"
  if [[ "$said" == *"failed: 0x8007007E"* ]] && [ ! -e "$prefix/no-module.pam" ]; then
    record PASS "$width" "without the module beside it: refused with 0x8007007E"
  else
    record FAIL "$width" "without the module beside it: $(echo "$said" | tr '\n' ' ')"
  fi
  if "$loader" regsvr32 /u /s "$codec"; then
    record PASS "$width" "regsvr32 /u unregistered the codec"
  else
    record FAIL "$width" "regsvr32 /u did not unregister the codec"
  fi
  local left
  left="$(codec_entries "$wine" "$view"; codec_entries "$wine" 32)"
  if [ -z "$left" ]; then
    record PASS "$width" "no registry entry of the codec is left"
  else
    record FAIL "$width" "registry entries left after unregistering: $(echo "$left" | tr '\n' ' ')"
  fi
  "$wineserver" -w
  rm -rf "$prefix"
}

# A value as "reg query" lists it ("" when there is none); NAME "" is the key's default.
value_of() {  # WINE KEY NAME VIEW(32|64)
  local which=(/v "$3")
  [ -z "$3" ] && which=(/ve)
  "$1" reg query "$2" "${which[@]}" "/reg:$4" 2> /dev/null | tr -d '\r' |
    sed -n -E 's/^    .+    REG_[A-Z_]+    (.*)$/\1/p'
}

expect_value() {  # WINE KEY NAME VIEW WANTED WHEN
  local got
  got="$(value_of "$1" "$2" "$3" "$4")"
  if [ "$got" = "$5" ]; then
    record PASS registry "$6: ${2##*\\} ${3:-(default)} is '${5}'"
  else
    record FAIL registry "$6: ${2##*\\} ${3:-(default)} is '$got', not '$5'"
  fi
}

own_registry() {
  source "$root/scripts/wine_prefix.sh"
  local width
  for width in win32 win64; do
    if [ ! -f "$root/build-$width/bin/TnIffCodec.dll" ]; then
      record FAIL registry "build-$width/bin/TnIffCodec.dll is missing: build it first"
      return
    fi
  done
  mkdir -p "$root/build-wine"
  local prefix
  prefix="$(mktemp -d "$root/build-wine/wic-prefix.XXXXXX")"
  prepare_wine_prefix "$prefix"
  local codec32 codec64
  codec32="$(windows_path "$root/build-win32/bin/TnIffCodec.dll")"
  codec64="$(windows_path "$root/build-win64/bin/TnIffCodec.dll")"
  local clsid="HKLM\\Software\\Classes\\CLSID\\$decoder_clsid\\InprocServer32"
  local ext='HKLM\Software\Classes\.iff'
  local kinds='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\KindMap'
  local shellex="$ext\\ShellEx"

  "$wine" regsvr32 /s "$codec64" && "$wine32" regsvr32 /s "$codec32" ||
    record FAIL registry "regsvr32 failed"
  expect_value "$wine" "$clsid" ThreadingModel 64 Both "both registered"
  expect_value "$wine" "$clsid" ThreadingModel 32 Both "both registered"
  expect_value "$wine" "$clsid" "" 64 "${codec64//\//\\}" "both registered"
  expect_value "$wine" "$clsid" "" 32 "${codec32//\//\\}" "both registered"
  expect_value "$wine" "$ext" "" 64 TarnIFF.Image "both registered"
  expect_value "$wine" "$ext" PerceivedType 64 image "both registered"
  expect_value "$wine" "$ext" "Content Type" 64 image/x-tarniff "both registered"
  expect_value "$wine" "$shellex\\{e357fccd-a995-4576-b01f-234630154e96}" "" 64 \
    "{C7657C4A-9F68-40fa-A4DF-96BC08EB3551}" "both registered"
  expect_value "$wine" "$shellex\\{8895b1c6-b41f-4c1c-a562-0d564250836f}" "" 64 \
    "{FFE2A43C-56B9-4bf5-9A79-CC6D4285608A}" "both registered"
  expect_value "$wine" "$kinds" .iff 64 picture "both registered"

  "$wine32" regsvr32 /u /s "$codec32" || record FAIL registry "regsvr32 /u (32-bit) failed"
  expect_value "$wine" "$clsid" ThreadingModel 32 "" "the 32-bit one unregistered"
  expect_value "$wine" "$clsid" ThreadingModel 64 Both "the 32-bit one unregistered"
  expect_value "$wine" "$ext" PerceivedType 64 image "the 32-bit one unregistered"
  expect_value "$wine" "$kinds" .iff 64 picture "the 32-bit one unregistered"
  "$wine" regsvr32 /u /s "$codec64" || record FAIL registry "regsvr32 /u (64-bit) failed"
  local left
  left="$(codec_entries "$wine" 64; codec_entries "$wine" 32)"
  if [ -z "$left" ]; then
    record PASS registry "both unregistered: no entry of the codec is left"
  else
    record FAIL registry "both unregistered: entries left: $(echo "$left" | tr '\n' ' ')"
  fi

  # Another program's type for .iff stays through our registration and its removal.
  "$wine" reg add "$ext" /ve /d Other.File /f /reg:64 > /dev/null 2>&1
  "$wine" regsvr32 /s "$codec64" || record FAIL registry "regsvr32 over another program's type failed"
  expect_value "$wine" "$ext" "" 64 Other.File "over another program's type"
  expect_value "$wine" "$ext" PerceivedType 64 image "over another program's type"
  expect_value "$wine" 'HKLM\Software\Classes\TarnIFF.Image' "" 64 "" "over another program's type"
  "$wine" regsvr32 /u /s "$codec64" ||
    record FAIL registry "regsvr32 /u over another program's type failed"
  expect_value "$wine" "$ext" "" 64 Other.File "over another program's type, unregistered"
  expect_value "$wine" "$ext" PerceivedType 64 "" "over another program's type, unregistered"
  expect_value "$wine" "$kinds" .iff 64 "" "over another program's type, unregistered"
  "$wineserver" -w
  rm -rf "$prefix"
}

if [ "${1:-}" = --own-registry ] && [ $# -eq 1 ]; then
  own_registry
elif [ "${1:-}" = --own ] && [ $# -eq 2 ]; then
  case "$2" in win32|win64) own_run "$2" ;; *) echo "check_wic.sh: win32 or win64" >&2; exit 2 ;; esac
elif [ $# -eq 5 ]; then
  run_checks "$@"
else
  echo "usage: check_wic.sh WIDTH WINE PREFIX CLIENT_EXE LINUX_TNIFF | --own WIDTH | --own-registry" >&2
  exit 2
fi
exit $failed
