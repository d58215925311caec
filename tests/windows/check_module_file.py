#!/usr/bin/env python3
"""Checks one built Windows module file: what it exports and imports, and its resources.

    python3 tests/windows/check_module_file.py build-win32/TnIffFormat.8bi win32
    python3 tests/windows/check_module_file.py build-win64/TnIffFormat.8bi win64

Prints one line per check, "PASS: ...", "FAIL: ..." (with what differed), and exits 1 when any
check failed. The expected bytes below are written out by hand, byte for byte as a host reads
them, not computed by the script that makes the resources.
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_resources as pe  # noqa: E402


def h(text):
    """Bytes from a hex listing; '#' starts a comment, whitespace is ignored."""
    return bytes.fromhex(re.sub(r"#[^\n]*", "", text).replace("\n", " "))


# ---- The property list ("PIPL" 16000) -----------------------------------------------------------
# Every property: vendor "MIB8", key (reversed), index 0, unpadded length, data padded to 4.
PIPL_HEAD = h("01 00  00 00 00 00  0f 00 00 00")  # 1, list version 0, 15 properties
PIPL_BEFORE_ENTRY = h("""
4d 49 42 38  64 6e 69 6b  00 00 00 00  04 00 00 00   # 8BIM kind, 4 bytes
46 49 42 38                                          # "8BIF" stored reversed
4d 49 42 38  65 6d 61 6e  00 00 00 00  0c 00 00 00   # 8BIM name, 12 bytes
07 54 61 72 6e 49 46 46  00 00 00 00                 # 7 "TarnIFF", zero-filled
4d 49 42 38  73 72 65 76  00 00 00 00  04 00 00 00   # 8BIM vers, 4 bytes
00 00 01 00                                          # 0x00010000
""")
PIPL_ENTRY_KEYS = {
    "win32": h("36 38 78 77"),  # "wx86" stored "68xw"
    "win64": h("34 36 36 38"),  # "8664" stored "4668"
}
PIPL_AFTER_ENTRY_KEY = h("""
                         00 00 00 00  0c 00 00 00   # (entry key), index 0, 12 bytes
45 4e 54 52 59 50 4f 49 4e 54 00 00                  # "ENTRYPOINT", NUL, zero-filled
4d 49 42 38  6d 74 73 68  00 00 00 00  28 00 00 00   # 8BIM hstm, 40 bytes
00 00 00 00  50 66 66 69  6c 6c 75 6e  80 3e         # version 0, "Pffi", "llun", 16000
41 72 64 65 6e 77 69 63 6b 20 54 61 72 6e 49 46 46 00   # "Ardenwick TarnIFF" NUL
00 00 00 00 00 00 00 00                              # zero-filled to 40
4d 49 42 38  65 64 6f 6d  00 00 00 00  04 00 00 00   # 8BIM mode, 4 bytes
50 00 00 00                                          # grayscale and RGB
4d 49 42 38  6c 62 6e 65  00 00 00 00  08 00 00 00   # 8BIM enbl, 8 bytes
74 72 75 65 00 00 00 00                              # "true"
4d 49 42 38  43 54 6d 66  00 00 00 00  08 00 00 00   # 8BIM fmTC, 8 bytes
46 31 42 38  4d 49 42 38                             # "8B1F" "8BIM" reversed
4d 49 42 38  54 74 66 66  00 00 00 00  08 00 00 00   # 8BIM fftT, 8 bytes
46 31 42 38  20 20 20 20                             # "8B1F" reversed, four spaces
4d 49 42 38  78 45 64 52  00 00 00 00  04 00 00 00   # 8BIM RdEx
69 66 66 20                                          # "iff " in reading order
4d 49 42 38  78 45 72 57  00 00 00 00  04 00 00 00   # 8BIM WrEx
69 66 66 20
4d 49 42 38  45 74 66 66  00 00 00 00  04 00 00 00   # 8BIM fftE
69 66 66 20
4d 49 42 38  66 74 6d 66  00 00 00 00  04 00 00 00   # 8BIM fmtf
78 00 00 00                                          # read, write, write-if-read, transparency
4d 49 42 38  7a 73 78 6d  00 00 00 00  04 00 00 00   # 8BIM mxsz
ff 7f ff 7f                                          # 32767 x 32767
4d 49 42 38  68 63 78 6d  00 00 00 00  18 00 00 00   # 8BIM mxch, 24 bytes
00 00 02 00 00 00 05 00                              # bitmap 0, gray 2, indexed 0, RGB 5
00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00      # eight more modes, 0
""")
PIPL_ENTRY_VENDOR = h("4d 49 42 38")


def expected_property_list(variant):
    return (PIPL_HEAD + PIPL_BEFORE_ENTRY + PIPL_ENTRY_VENDOR + PIPL_ENTRY_KEYS[variant] +
            PIPL_AFTER_ENTRY_KEY)


# ---- The scripting terminology ("AETE" 16000) ---------------------------------------------------
AETE = h("""
01 00  01 00  00 00  00 00  01 00                    # reserved 1, version 1.0, lang, script, 1 suite
09 41 72 64 65 6e 77 69 63 6b                        # "Ardenwick"
12 51 75 69 6c 6c 6f 6e 20 49 66 66 20 4d 6f 64 75 6c 65   # "Quillon Iff Module"
34 4b 64 73                                          # suite code "4Kds"
01 00  01 00  00 00  01 00                           # level 1, version 1, 0 events, 1 class
15 41 72 64 65 6e 77 69 63 6b 20 54 6e 49 66 66 46 6f 72 6d 61 74   # "Ardenwick TnIffFormat"
50 66 66 69                                          # class "Pffi"
19 54 6e 49 66 66 46 6f 72 6d 61 74 20 66 6f 72 6d 61 74 20 6d 6f 64 75 6c 65
                                                     # "TnIffFormat format module"
03 00                                                # 3 properties
0d 3c 49 6e 68 65 72 69 74 61 6e 63 65 3e            # "<Inheritance>"
5e 23 40 63  20 74 6d 46                             # "^#@c" " tmF"
13 70 61 72 65 6e 74 20 63 6c 61 73 73 20 66 6f 72 6d 61 74   # "parent class format"
00 10
03 66 6f 6f  42 6f 6f 66  6c 6f 6f 62                # "foo" "Boof" "loob"
06 66 6f 6f 62 61 72  00 10                          # "foobar"
03 62 61 72  46 72 61 62  6c 6f 6f 62                # "bar" "Frab" "loob"
06 66 6f 6f 62 61 72  00 10                          # "foobar"
00 00  00 00  00 00                                  # no elements, operators, enumerations
""")

STRINGS = {
    16992: "This plug-in requires Adobe Photoshop\u00ae ^1 or later functionality.",
    16993: "This plug-in is incompatible with this version of the host program.",
}

# Window and control styles of the About dialog.
WS_POPUP, WS_CHILD, WS_VISIBLE, WS_CAPTION, WS_TABSTOP = (0x80000000, 0x40000000, 0x10000000,
                                                          0x00C00000, 0x00010000)
DS_MODALFRAME, DS_SETFONT, DS_CENTER = 0x80, 0x40, 0x800
BS_DEFPUSHBUTTON, SS_BITMAP, SS_TYPEMASK = 0x1, 0xE, 0x1F
BUTTON_CLASS, STATIC_CLASS = 0x80, 0x82

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "ntdll.dll", "gdi32.dll",
               "advapi32.dll"}
MACHINES = {"win32": pe.MACHINE_I386, "win64": pe.MACHINE_AMD64}
OBJDUMPS = {"win32": "i686-w64-mingw32-objdump", "win64": "x86_64-w64-mingw32-objdump"}


class Checks:
    def __init__(self, label):
        self.label = label
        self.failed = 0

    def report(self, name, ok, detail=""):
        if ok:
            print("PASS: %s: %s" % (self.label, name))
        else:
            self.failed += 1
            print("FAIL: %s: %s%s" % (self.label, name, ": " + detail if detail else ""))


def first_difference(actual, expected):
    for i in range(min(len(actual), len(expected))):
        if actual[i] != expected[i]:
            return "byte %d is %02x, expected %02x (%d bytes, expected %d)" % (
                i, actual[i], expected[i], len(actual), len(expected))
    return "%d bytes, expected %d" % (len(actual), len(expected))


def check_exports_and_imports(c, path, variant):
    dump = subprocess.run([OBJDUMPS[variant], "-p", path], capture_output=True, text=True)
    if dump.returncode != 0:
        c.report("objdump reads the file", False, dump.stderr.strip())
        return
    text = dump.stdout
    names = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$",
                       text.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0],
                       re.M) if "[Ordinal/Name Pointer] Table" in text else []
    dll_name = re.search(r"^Name\s+[0-9a-fA-F]+\s+(\S+)", text, re.M)
    c.report("exports exactly ENTRYPOINT, undecorated, as TnIffFormat.8bi",
             names == ["ENTRYPOINT"] and dll_name is not None
             and dll_name.group(1) == "TnIffFormat.8bi",
             "exports %s, library name %s" % (names, dll_name.group(1) if dll_name else None))
    imports = sorted(set(m.lower() for m in re.findall(r"DLL Name:\s*(\S+)", text)))
    foreign = [d for d in imports if d not in SYSTEM_DLLS]
    c.report("imports only system DLLs (%s)" % ", ".join(imports), bool(imports) and not foreign,
             "also needs %s" % foreign)


def check_resources(c, path, variant):
    machine = pe.machine_of(path)
    c.report("machine is %s" % ("i386" if variant == "win32" else "x86-64"),
             machine == MACHINES[variant], "machine word %#x" % machine)
    res = pe.read_resources(path)

    keys = sorted(((str(t), str(n), l) for (t, n, l) in res), key=str)
    expected_keys = sorted([("AETE", "16000", 1033), ("PIPL", "16000", 1033),
                            (str(pe.RT_STRING), str(16992 // 16 + 1), 1033),
                            (str(pe.RT_DIALOG), "105", 1033), (str(pe.RT_BITMAP), "104", 1033)],
                           key=str)
    c.report("resources are exactly PIPL, AETE, one string block, dialog 105, bitmap 104, "
             "all US English, no version resource", keys == expected_keys, "found %s" % keys)

    pipl = res.get(("PIPL", 16000, 1033), b"")
    want = expected_property_list(variant)
    c.report("PIPL 16000 is the expected %d bytes (entry key %s)"
             % (len(want), "wx86" if variant == "win32" else "8664"),
             pipl == want, first_difference(pipl, want))

    aete = res.get(("AETE", 16000, 1033), b"")
    c.report("AETE 16000 is the expected %d bytes" % len(AETE), aete == AETE,
             first_difference(aete, AETE))

    table = pe.string_table(res)
    c.report("string table holds 16992 and 16993, registered sign as U+00AE", table == STRINGS,
             "found %r" % table)

    dialog_data = res.get((pe.RT_DIALOG, 105, 1033))
    problems = []
    if dialog_data is None:
        problems.append("no dialog 105")
    else:
        d = pe.parse_dialog(dialog_data)
        for bit, name in ((WS_POPUP, "popup"), (DS_MODALFRAME, "modal frame"),
                          (DS_CENTER, "centred"), (DS_SETFONT, "font")):
            if not d["style"] & bit:
                problems.append("not " + name)
        if (d["style"] & WS_CAPTION) or d["title"]:
            problems.append("has a caption")
        if d["rect"][2:] != (203, 265):
            problems.append("size %s" % (d["rect"][2:],))
        if (d.get("pointSize"), d.get("font")) != (8, "MS Sans Serif"):
            problems.append("font %s %s" % (d.get("pointSize"), d.get("font")))
        controls = d["controls"]
        if len(controls) != 2:
            problems.append("%d controls" % len(controls))
        else:
            ok_button, picture = controls
            want_button = {"id": 1, "class": BUTTON_CLASS, "text": "OK",
                           "rect": (77, 248, 50, 14)}
            for k, v in want_button.items():
                if ok_button[k] != v:
                    problems.append("OK button %s is %r" % (k, ok_button[k]))
            if (ok_button["style"] & 0xF) != BS_DEFPUSHBUTTON or \
                    (ok_button["style"] & (WS_TABSTOP | WS_VISIBLE | WS_CHILD)) != \
                    (WS_TABSTOP | WS_VISIBLE | WS_CHILD):
                problems.append("OK button style %#x" % ok_button["style"])
            want_picture = {"id": 0xFFFF, "class": STATIC_CLASS, "text": 104,
                            "rect": (0, 0, 203, 246)}
            for k, v in want_picture.items():
                if picture[k] != v:
                    problems.append("bitmap control %s is %r" % (k, picture[k]))
            if (picture["style"] & SS_TYPEMASK) != SS_BITMAP or \
                    (picture["style"] & (WS_VISIBLE | WS_CHILD)) != (WS_VISIBLE | WS_CHILD):
                problems.append("bitmap control style %#x" % picture["style"])
    c.report("dialog 105: 203 x 265, MS Sans Serif 8, OK button 1 and bitmap 104 control",
             not problems, "; ".join(problems))

    bitmap = res.get((pe.RT_BITMAP, 104, 1033))
    problems = []
    if bitmap is None or len(bitmap) < 40:
        problems.append("no bitmap 104")
    else:
        import struct
        (size, width, height, planes, bits, compression, image_size, _, _, used,
         _) = struct.unpack_from("<IiiHHIIiiII", bitmap, 0)
        colours = used or (1 << bits if bits <= 8 else 0)
        if (size, width, height, planes, bits, compression) != (40, 304, 400, 1, 8, 0):
            problems.append("header %s" % ((size, width, height, planes, bits, compression),))
        if colours != 256:
            problems.append("%d palette entries" % colours)
        if len(bitmap) != 40 + 4 * 256 + 304 * 400:
            problems.append("%d bytes" % len(bitmap))
        elif len(set(bitmap[40 + 1024:])) < 64:
            problems.append("only %d colours used" % len(set(bitmap[40 + 1024:])))
    c.report("bitmap 104: 304 x 400, 8 bits, 256-colour palette, uncompressed", not problems,
             "; ".join(problems))


def main(argv):
    if len(argv) != 3 or argv[2] not in MACHINES:
        print("usage: check_module_file.py FILE win32|win64", file=sys.stderr)
        return 2
    path, variant = argv[1], argv[2]
    c = Checks(variant)
    if not os.path.isfile(path):
        c.report("module file exists", False, path)
        return 1
    check_exports_and_imports(c, path, variant)
    try:
        check_resources(c, path, variant)
    except (pe.PeError, ValueError, IndexError) as e:  # a malformed file is a failure too
        c.report("resources can be read", False, str(e))
    return 1 if c.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
