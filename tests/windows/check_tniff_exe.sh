#!/usr/bin/env bash
# tniff.exe under Wine against Linux tniff: the same pixels, the same words, the same exit status.
#   bash tests/windows/check_tniff_exe.sh WIDTH WINE PREFIX TNIFF_EXE LINUX_TNIFF
# WIDTH win32 or win64 (for the lines' names); WINE the loader to run it with (wine64, or the
# 32-bit one); PREFIX the Wine prefix; TNIFF_EXE the program, a Unix path or a Windows one (an
# installed C:\...\tniff.exe), with TnIffFormat.8bi beside it; LINUX_TNIFF the native build's
# tniff. Prints a "PASS: tniff.exe WIDTH: ..." or "FAIL: tniff.exe WIDTH: ..." line a check and
# exits 1 when any failed. Pixels are compared as Linux tniff writes them to PAM; PNG and TIFF
# files themselves may differ in their bytes, as the encoders do.
set -uo pipefail
if [ $# -ne 5 ]; then
  echo "usage: check_tniff_exe.sh WIDTH WINE PREFIX TNIFF_EXE LINUX_TNIFF" >&2
  exit 2
fi
width="$1" wine="$2" prefix="$3" exe="$4" linux="$5"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# Unix paths given relative to here still name their files once the checks run elsewhere.
absolute() { [ -e "$1" ] && [[ "$1" != /* ]] && echo "$PWD/$1" || echo "$1"; }
exe="$(absolute "$exe")" linux="$(absolute "$linux")" wine="$(absolute "$wine")"
sample="$root/samples/render.iff"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

failures=0
pass() { echo "PASS: tniff.exe $width: $1"; }
fail() { echo "FAIL: tniff.exe $width: $1"; failures=$((failures + 1)); }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$sample" render.iff

# tniff.exe with its output as Linux prints it: CRLF as LF, backslashes as slashes.
win() { timeout 300 "$wine" "$exe" "$@"; }
normalised() { tr -d '\r' | sed 's#\\#/#g'; }
# The pixels of an image file, as the PAM Linux tniff writes of it (through .iff for the others).
pixels() {
  case "$1" in
    *.iff) "$linux" -q convert "$1" "$2" ;;
    *) "$linux" -q convert "$1" "$2.iff" && "$linux" -q convert "$2.iff" "$2" ;;
  esac
}
same_pixels() {  # what file-a file-b
  if pixels "$2" "$2.pix.pam" 2> "$work/err" && pixels "$3" "$3.pix.pam" 2>> "$work/err" &&
    cmp -s "$2.pix.pam" "$3.pix.pam"; then
    pass "$1"
  else
    fail "$1 ($(head -c 300 "$work/err" | tr '\n' ' '))"
  fi
}

# about and --version run, and find the module beside the program.
if win about > about.txt 2>&1 && grep -q "TarnIFF (TnIffFormat)" about.txt &&
  win --version > version.txt 2>&1 && grep -q "^module " version.txt; then
  pass "about and --version run with the module beside it"
else
  fail "about or --version: $(normalised < about.txt | head -3 | tr '\n' ' ')"
fi

# The sample to PNG, TIFF and PAM: the pixels Linux tniff gives (PAM: the same bytes).
for kind in png tiff pam; do
  "$linux" -q convert render.iff "linux.$kind"
  if ! win -q convert render.iff "exe.$kind" > err.txt 2>&1; then
    fail "render.iff to .$kind: $(normalised < err.txt | head -2 | tr '\n' ' ')"
  elif [ "$kind" = pam ]; then
    cmp -s exe.pam linux.pam && pass "render.iff to .pam: the bytes Linux writes" ||
      fail "render.iff to .pam differs from Linux's"
  else
    same_pixels "render.iff to .$kind: Linux's pixels" "exe.$kind" "linux.$kind"
  fi
done

# Standard input and output: the sample through a pipe both ways, as a pipeline's step.
if win -q convert - --to pam - < render.iff > piped.pam 2> err.txt && cmp -s piped.pam linux.pam; then
  pass "render.iff from standard input to PAM on standard output: the bytes Linux writes"
else
  fail "render.iff through standard input and output: $(normalised < err.txt | head -2 | tr '\n' ' ')"
fi

# PNG and TIFF that Linux wrote, to .iff with tniff.exe: the pixels Linux's own .iff has.
for kind in png tiff; do
  if win -q convert "linux.$kind" "from-$kind.iff" > err.txt 2>&1; then
    "$linux" -q convert "linux.$kind" "linux-from-$kind.iff"
    same_pixels "Linux's .$kind to .iff and back: the same pixels" "from-$kind.iff" \
      "linux-from-$kind.iff"
  else
    fail "Linux's .$kind to .iff: $(normalised < err.txt | head -2 | tr '\n' ' ')"
  fi
done

# PNG and TIFF files of every layout the Linux readers take, and broken ones: each to .iff with
# tniff.exe gives Linux's pixels, or fails with Linux's words and exit status. Made with Pillow,
# and patched where Pillow writes no such file (min-is-white, associated alpha).
mkdir kinds
if /usr/bin/python3 - kinds > kinds.log 2>&1 <<'PYTHON'
import struct, sys
from PIL import Image
out = sys.argv[1]
def noise(mode, bands, seed, w=37, h=23, most=256):
    state, data = seed, bytearray()
    for _ in range(w * h * bands):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        data.append((state >> 16) % most)
    return Image.frombytes(mode, (w, h), bytes(data))
def patched(source, target, tag, value):
    b = bytearray(open(source, 'rb').read())
    f = '<' if b[:2] == b'II' else '>'
    at = struct.unpack(f + 'I', b[4:8])[0]
    for i in range(struct.unpack(f + 'H', b[at:at + 2])[0]):
        e = at + 2 + 12 * i
        if struct.unpack(f + 'H', b[e:e + 2])[0] == tag:
            b[e + 8:e + 10] = struct.pack(f + 'H', value)
    open(target, 'wb').write(b)
k = out + '/'
gray, rgb, rgba = noise('L', 1, 1), noise('RGB', 3, 2), noise('RGBA', 4, 3)
sixteen = noise('L', 1, 4).point(lambda v: v * 257 + 3, 'I').convert('I;16')
palette = rgb.quantize(16)
for ext in ('png', 'tif'):
    gray.save(k + 'gray.' + ext); rgb.save(k + 'rgb.' + ext); rgba.save(k + 'rgba.' + ext)
    noise('LA', 2, 5).save(k + 'gray-alpha.' + ext); sixteen.save(k + 'gray16.' + ext)
    palette.save(k + 'palette.' + ext); gray.convert('1').save(k + 'bilevel.' + ext)
palette.save(k + 'palette-transparent.png', transparency=3)
gray.save(k + 'gray-transparent.png', transparency=7)
rgb.save(k + 'rgb-lzw.tif', compression='tiff_lzw')
patched(k + 'gray.tif', k + 'min-is-white.tif', 262, 0)
premultiplied = Image.merge('RGBA', [Image.eval(c, lambda v: v * 3 // 4) for c in rgb.split()] +
                            [Image.new('L', rgb.size, 192)])
premultiplied.save(k + 'associated0.tif')
patched(k + 'associated0.tif', k + 'associated.tif', 338, 1)
rgb.convert('CMYK').save(k + 'cmyk.tif')
png = open(k + 'rgb.png', 'rb').read()
tif = open(k + 'rgb.tif', 'rb').read()
def write(name, data): open(k + name, 'wb').write(data)
write('cut-header.png', png[:30]); write('cut-data.png', png[:300])
write('cut-end.png', png[:-6]); write('cut.tif', tif[:500])
write('bad-crc.png', png[:20] + bytes([png[20] ^ 0xFF]) + png[21:])
write('bad-type.png', png[:40] + bytes([png[40] ^ 0xFF]) + png[41:])
rgb.save(k + 'jpeg-named.png', 'JPEG')
# PNG layouts Pillow does not write: 16-bit colour, and interlaced files.
import zlib
def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
def png(name, colourType, depth, channels, seed, interlace=0, w=37, h=23):
    bpp = channels * depth // 8
    data = noise('L', 1, seed, w * bpp, h).tobytes()
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
              (0, 1, 1, 2)] if interlace else [(0, 0, 1, 1)]
    raw = b''
    for x0, y0, dx, dy in passes:
        for y in range(y0, h, dy):
            row = b''.join(data[(y * w + x) * bpp:(y * w + x + 1) * bpp] for x in range(x0, w, dx))
            raw += b'\0' + row if row else b''
    header = struct.pack('>IIBBBBB', w, h, depth, colourType, 0, 0, interlace)
    write(name, b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw)) +
          chunk(b'IEND', b''))
png('rgb16.png', 2, 16, 3, 6); png('rgba16.png', 6, 16, 4, 7); png('gray-alpha16.png', 4, 16, 2, 8)
png('interlaced.png', 6, 8, 4, 9, 1); png('interlaced16.png', 2, 16, 3, 10, 1)
PYTHON
then
  kindsOk=0
  kindsBad=""
  for file in kinds/*.png kinds/*.tif; do
    win convert "$file" "$file.exe.iff" > exe.txt 2>&1
    exeStatus=$?
    "$linux" convert "$file" "$file.linux.iff" > linux.txt 2>&1
    linuxStatus=$?
    # The broken files fail on Linux, every other one converts there.
    case "${file#kinds/}" in
      cut* | bad-* | jpeg-* | cmyk.*) broken=1 ;;
      *) broken=0 ;;
    esac
    if { [ "$broken" = 1 ] && [ "$linuxStatus" = 0 ]; } ||
      { [ "$broken" = 0 ] && [ "$linuxStatus" != 0 ]; }; then
      kindsBad+=" ${file#kinds/} (Linux tniff gives status $linuxStatus: $(head -1 linux.txt))"
    elif [ "$exeStatus" != "$linuxStatus" ] || ! normalised < exe.txt | cmp -s - linux.txt; then
      kindsBad+=" ${file#kinds/} (status $exeStatus, Linux $linuxStatus: $(normalised < exe.txt | head -1))"
    elif [ "$linuxStatus" = 0 ] && ! { pixels "$file.exe.iff" "$file.exe.pam" &&
      pixels "$file.linux.iff" "$file.linux.pam" && cmp -s "$file.exe.pam" "$file.linux.pam"; }; then
      kindsBad+=" ${file#kinds/} (other pixels)"
    else
      kindsOk=$((kindsOk + 1))
    fi
  done
  if [ -z "$kindsBad" ] && [ "$kindsOk" -ge 20 ]; then
    pass "$kindsOk PNG and TIFF files of every layout, whole and broken, read as on Linux"
  else
    fail "PNG and TIFF files read otherwise than on Linux:$kindsBad"
  fi
else
  fail "the PNG and TIFF files could not be made (Pillow): $(tail -1 kinds.log)"
fi

# An image of gray and alpha written as PNG and TIFF: Linux reads back its two channels.
if [ -f kinds/gray-alpha.png ] && "$linux" -q convert kinds/gray-alpha.png gray-alpha.iff; then
  for kind in png tiff; do
    "$linux" -q convert gray-alpha.iff "linux-gray-alpha.$kind"
    win -q convert gray-alpha.iff "exe-gray-alpha.$kind" > err.txt 2>&1
    exeStatus=$?
    # Through .iff both read as RGB and alpha: the channels written are compared on their own.
    modes="$(/usr/bin/python3 -c 'import sys; from PIL import Image
print(" ".join(Image.open(f).mode for f in sys.argv[1:]))' "exe-gray-alpha.$kind" \
      "linux-gray-alpha.$kind" 2>&1)"
    if [ "$exeStatus" != 0 ]; then
      fail "gray and alpha to .$kind: $(normalised < err.txt | head -2 | tr '\n' ' ')"
    elif [ "${modes% *}" != "${modes#* }" ]; then
      fail "gray and alpha to .$kind: written as $modes (tniff.exe, Linux)"
    else
      same_pixels "gray and alpha to .$kind: Linux's pixels" "exe-gray-alpha.$kind" \
        "linux-gray-alpha.$kind"
    fi
  done
else
  fail "no image of gray and alpha to write (Pillow's file is missing)"
fi

# A batch of frames, two worker processes at once.
mkdir frames
for frame in 1001 1002 1003; do cp render.iff "frames/shot.$frame.iff"; done
if win convert 'frames/shot.####.iff' --to png -o out -j 2 > batch.txt 2>&1 &&
  normalised < batch.txt | grep -q "^tniff: converted 3, failed 0, skipped 0$"; then
  batch=ok
  for frame in 1001 1002 1003; do
    pixels "out/shot.$frame.png" "frame.pam" 2> /dev/null && cmp -s frame.pam linux.png.pix.pam ||
      batch="frame $frame differs"
  done
  [ "$batch" = ok ] && pass "a frame pattern with -j 2: every frame with Linux's pixels" ||
    fail "a frame pattern with -j 2: $batch"
else
  fail "a frame pattern with -j 2: $(normalised < batch.txt | tail -2 | tr '\n' ' ')"
fi

# info says the same words as Linux for the sample, a damaged and a cut file.
cp render.iff damaged.iff
printf '\377\377\377\377\377\377\377\377' | dd of=damaged.iff bs=1 seek=20000 conv=notrunc 2> /dev/null
head -c 100000 render.iff > cut.iff
for file in render.iff damaged.iff cut.iff; do
  win info "$file" > exe.txt 2>&1
  exeStatus=$?
  "$linux" info "$file" > linux.txt 2>&1
  linuxStatus=$?
  if [ "$exeStatus" = "$linuxStatus" ] && normalised < exe.txt | cmp -s - linux.txt; then
    pass "info $file: Linux's words and exit status $linuxStatus"
  else
    fail "info $file: status $exeStatus (Linux $linuxStatus); $(normalised < exe.txt | diff - linux.txt | head -4 | tr '\n' ' ')"
  fi
done

# A cut file fails to convert with Linux's words and exit status, and the refused write leaves
# nothing in the output folder: no output, no temporary file.
mkdir refused
win convert cut.iff refused/cut.png > exe.txt 2>&1
exeStatus=$?
"$linux" convert cut.iff linux-cut.png > linux.txt 2>&1
linuxStatus=$?
sed -i 's#linux-cut.png#refused/cut.png#g' linux.txt
refusedAsLinux=no
if [ "$exeStatus" = "$linuxStatus" ] && [ "$exeStatus" != 0 ] && normalised < exe.txt | cmp -s - linux.txt; then
  pass "a cut file is refused with Linux's words and exit status $linuxStatus"
  refusedAsLinux=yes
else
  fail "a cut file: status $exeStatus (Linux $linuxStatus): $(normalised < exe.txt | head -2 | tr '\n' ' ')"
fi
if [ "$refusedAsLinux" = no ]; then
  fail "the refused write's folder is not looked at: tniff.exe did not refuse it as Linux does"
elif [ -z "$(ls -A refused)" ]; then
  pass "the refused write left nothing in the output folder"
else
  fail "the refused write left $(ls -A refused | tr '\n' ' ')in the output folder"
fi

# A name with accents, from the UTF-16 command line to the file and back.
cp render.iff "café.iff"
if win -q convert "café.iff" "crème.png" > err.txt 2>&1 && [ -f "crème.png" ]; then
  same_pixels "a name with accents converts" "crème.png" linux.png
else
  fail "a name with accents: $(normalised < err.txt | head -2 | tr '\n' ' ')"
fi

[ "$failures" = 0 ]
