"""A small reader of the resources in a Windows PE file (DLL or EXE), for the module checks.

    resources = read_resources(path)   # {(type, name, language): bytes}

Types and names are ints for ordinals and str for named entries ("PIPL"). Only what the checks
need: the section table, the three-level resource directory, and the machine word.
"""
import struct

RT_BITMAP = 2
RT_DIALOG = 5
RT_STRING = 6
RT_VERSION = 16

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic == 0x10B:
            directories = optional + 96
        elif magic == 0x20B:
            directories = optional + 112
        else:
            raise PeError("unknown optional header magic %#x" % magic)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data,
                                                                      table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), vaddr,
                                  max(vsize, rawsize), rawptr, rawsize))

    def offset_of(self, rva):
        for _, vaddr, size, rawptr, rawsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rawsize:
                    raise PeError("rva %#x lies in uninitialised data" % rva)
                return rawptr + (rva - vaddr)
        raise PeError("rva %#x is in no section" % rva)

    def read_rva(self, rva, size):
        start = self.offset_of(rva)
        if start + size > len(self.data):
            raise PeError("rva %#x + %d runs past the file" % (rva, size))
        return self.data[start:start + size]


def _entries(pe, base, directory):
    """The entries of one resource directory: (id or name, is_directory, offset)."""
    _, _, _, _, named, numbered = struct.unpack_from("<IIHHHH", pe.data, base + directory)
    out = []
    for i in range(named + numbered):
        name_word, target = struct.unpack_from("<II", pe.data, base + directory + 16 + 8 * i)
        if name_word & 0x80000000:
            at = base + (name_word & 0x7FFFFFFF)
            length = struct.unpack_from("<H", pe.data, at)[0]
            key = pe.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        else:
            key = name_word & 0xFFFF
        out.append((key, bool(target & 0x80000000), target & 0x7FFFFFFF))
    return out


def read_resources(path):
    with open(path, "rb") as f:
        pe = PeFile(f.read())
    return resources_of(pe)


def resources_of(pe):
    if len(pe.directories) <= 2 or pe.directories[2][0] == 0:
        return {}
    rva = pe.directories[2][0]
    base = pe.offset_of(rva)
    found = {}
    for type_key, type_is_dir, type_at in _entries(pe, base, 0):
        if not type_is_dir:
            raise PeError("resource type entry is not a directory")
        for name_key, name_is_dir, name_at in _entries(pe, base, type_at):
            if not name_is_dir:
                raise PeError("resource name entry is not a directory")
            for lang_key, lang_is_dir, data_at in _entries(pe, base, name_at):
                if lang_is_dir:
                    raise PeError("resource language entry is a directory")
                data_rva, size, _, _ = struct.unpack_from("<IIII", pe.data, base + data_at)
                found[(type_key, name_key, lang_key)] = pe.read_rva(data_rva, size)
    return found


def machine_of(path):
    with open(path, "rb") as f:
        return PeFile(f.read()).machine


def string_table(resources, language=1033):
    """The STRINGTABLE as {id: text}, from its blocks of sixteen counted UTF-16 strings."""
    table = {}
    for (rtype, name, lang), data in resources.items():
        if rtype != RT_STRING or lang != language:
            continue
        at = 0
        for index in range(16):
            if at + 2 > len(data):
                raise PeError("string block %d is cut short" % name)
            length = struct.unpack_from("<H", data, at)[0]
            at += 2
            if length:
                table[(name - 1) * 16 + index] = data[at:at + 2 * length].decode("utf-16-le")
            at += 2 * length
    return table


def _sz_or_ordinal(data, at):
    """A dialog template's name field: 0 (none), 0xFFFF + ordinal, or a UTF-16 text."""
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    """A classic DLGTEMPLATE (not the extended form) as a dict with its controls."""
    style, ex_style, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    if (style >> 16) == 0xFFFF:
        raise PeError("extended dialog templates are not read here")
    at = 18
    menu, at = _sz_or_ordinal(data, at)
    window_class, at = _sz_or_ordinal(data, at)
    title, at = _sz_or_ordinal(data, at)
    dialog = {"style": style, "exStyle": ex_style, "rect": (x, y, cx, cy), "menu": menu,
              "class": window_class, "title": title, "controls": []}
    if style & 0x40:  # DS_SETFONT
        dialog["pointSize"] = struct.unpack_from("<H", data, at)[0]
        dialog["font"], at = _sz_or_ordinal(data, at + 2)
    for _ in range(count):
        at = (at + 3) & ~3
        cstyle, cex, cx_, cy_, cw, ch, cid = struct.unpack_from("<IIhhhhH", data, at)
        at += 18
        cclass, at = _sz_or_ordinal(data, at)
        ctext, at = _sz_or_ordinal(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        dialog["controls"].append({"style": cstyle, "exStyle": cex, "rect": (cx_, cy_, cw, ch),
                                   "id": cid, "class": cclass, "text": ctext})
    return dialog
