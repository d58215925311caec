#!/usr/bin/env python3
"""Writes the bytes of the module's property list ("PIPL" 16000, one file per Windows entry key)
and scripting terminology ("AETE" 16000) into module/resources/, where the resource script takes them.

    python3 scripts/make_plugin_properties.py [output-dir]

The outputs are committed; run this after changing a property and commit what it writes.

Property list: a 16-bit 1, a 32-bit list version 0, a 32-bit property count, then each property
as vendor, key, index 0, unpadded data length and the data zero-filled to a multiple of 4. All
integers are little-endian, and so is every four-character code: its bytes are stored in reverse
reading order ("8BIM" is stored "MIB8"), except the three extensions, whose bytes are the
characters in reading order.
"""
import os
import struct
import sys

VENDOR = "8BIM"


def code(text):
    """A four-character code stored as a little-endian 32-bit value: bytes reversed."""
    raw = text.encode("ascii")
    assert len(raw) == 4, text
    return raw[::-1]


def stored(raw):
    """Four bytes stored as they are (codes the host reads byte by byte)."""
    assert len(raw) == 4, raw
    return raw


def zero_filled(raw, length):
    assert len(raw) <= length, (raw, length)
    return raw + b"\0" * (length - len(raw))


def u16(*values):
    return b"".join(struct.pack("<H", v) for v in values)


def u32(*values):
    return b"".join(struct.pack("<I", v) for v in values)


def pascal(text):
    raw = text.encode("ascii")
    assert len(raw) < 256, text
    return bytes([len(raw)]) + raw


# Supported image modes, read from the first byte's high bit: bitmap, grayscale, indexed, RGB.
MODE_GRAYSCALE = 0x40
MODE_RGB = 0x10
# Format flags, from the first byte's high bit: saves image resources, can read, can write,
# can write only what it read, can write transparency.
FORMAT_CAN_READ = 0x40
FORMAT_CAN_WRITE = 0x20
FORMAT_WRITE_IF_READ = 0x10
FORMAT_CAN_WRITE_TRANSPARENCY = 0x08

# Largest channel count per image mode, in the host's mode order: bitmap, grayscale, indexed,
# RGB, CMYK, HSL, HSB, multichannel, duotone, Lab, 16-bit grayscale, 48-bit RGB. Gray takes a
# second plane for alpha; RGB takes alpha and the depth plane.
MAX_CHANNELS = [0, 2, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0]

LARGEST_SIDE = 32767  # the host's 16-bit coordinates
TERMINOLOGY_ID = 16000
UNIQUE_ID = "Ardenwick TarnIFF"
TERMINOLOGY_CLASS = "iffP"  # stored "Pffi"
EXTENSION = b"iff "


def properties(entry_key):
    """The fifteen properties in file order as (key, data). entry_key is "wx86" for the
    32-bit module and "8664" for the 64-bit one."""
    terminology = (u32(0) + code(TERMINOLOGY_CLASS) + code("null") + u16(TERMINOLOGY_ID) +
                   UNIQUE_ID.encode("ascii") + b"\0")
    return [
        ("kind", code("8BIF")),
        ("name", zero_filled(pascal("TarnIFF"), 12)),
        ("vers", u32(0x00010000)),
        (entry_key, zero_filled(b"ENTRYPOINT\0", 12)),
        ("hstm", zero_filled(terminology, 40)),
        ("mode", bytes([MODE_GRAYSCALE | MODE_RGB, 0, 0, 0])),
        ("enbl", zero_filled(b"true", 8)),
        ("fmTC", code("8B1F") + code("8BIM")),
        ("fftT", code("8B1F") + code("    ")),
        ("RdEx", stored(EXTENSION)),
        ("WrEx", stored(EXTENSION)),
        ("fftE", stored(EXTENSION)),
        ("fmtf", bytes([FORMAT_CAN_READ | FORMAT_CAN_WRITE | FORMAT_WRITE_IF_READ |
                        FORMAT_CAN_WRITE_TRANSPARENCY, 0, 0, 0])),
        ("mxsz", u16(LARGEST_SIDE, LARGEST_SIDE)),
        ("mxch", u16(*MAX_CHANNELS)),
    ]


def property_list(entry_key):
    items = properties(entry_key)
    out = u16(1) + u32(0) + u32(len(items))
    for key, data in items:
        out += code(VENDOR) + code(key) + u32(0) + u32(len(data))
        out += data + b"\0" * (-len(data) % 4)
    return out


def terminology():
    """Scripting terminology: one suite with one class of three properties. Integers are
    little-endian 16-bit, strings length-prefixed, no alignment."""
    flags = bytes([0x00, 0x10])
    out = u16(1) + bytes([1, 0]) + u16(0, 0, 1)  # reserved, version 1.0, language, script, suites
    out += pascal("Ardenwick") + pascal("Quillon Iff Module") + code("sdK4")
    out += u16(1, 1, 0, 1)  # level, version, events, classes
    out += pascal("Ardenwick TnIffFormat") + code(TERMINOLOGY_CLASS)
    out += pascal("TnIffFormat format module") + u16(3)
    for name, prop_code, value_class, description in [
        ("<Inheritance>", "c@#^", "Fmt ", "parent class format"),
        ("foo", "fooB", "bool", "foobar"),
        ("bar", "barF", "bool", "foobar"),
    ]:
        out += pascal(name) + code(prop_code) + code(value_class) + pascal(description) + flags
    out += u16(0, 0, 0)  # elements, comparison operators, enumerations
    return out


OUTPUTS = {
    "property_list_win32.bin": lambda: property_list("wx86"),
    "property_list_win64.bin": lambda: property_list("8664"),
    "terminology.bin": terminology,
}


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = argv[1] if len(argv) > 1 else os.path.join(here, "..", "module", "resources")
    for name, make in OUTPUTS.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(make())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
