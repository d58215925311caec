#!/usr/bin/env python3
"""Reads a Wine prefix's registry files, as the installer's end-to-end checks need them. Wine
writes them when its server ends: run `wineserver -w` first.
  wine_registry.py PREFIX keys             every key, one a line: "machine\\KEY" or "user\\KEY"
  wine_registry.py PREFIX codecs NAME      the classes whose in-process server is a file called
                                           NAME: "64 {CLSID} PATH", or "32 ..." for the 32-bit
                                           view (Wow6432Node)
  wine_registry.py PREFIX mentions REGEX   every key, and every value with its key, that REGEX
                                           finds (case ignored), one a line
"""
import ntpath
import os
import re
import sys

KEY_LINE = re.compile(r"^\[(.*)\](?: \d+)?$")
VALUE_LINE = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$')
SERVER_KEY = re.compile(r"^Software\\Classes\\(Wow6432Node\\)?CLSID\\(\{[^}]+\})\\InprocServer32$",
                        re.IGNORECASE)


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def entries(prefix):
    """(hive, key, value name or None, value text or None) for every key and value."""
    for hive, name in (("machine", "system.reg"), ("user", "user.reg")):
        path = os.path.join(prefix, name)
        if not os.path.exists(path):
            continue
        key = None
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.rstrip("\r\n")
                match = KEY_LINE.match(line)
                if match:
                    key = unescape(match.group(1))
                    yield hive, key, None, None
                    continue
                match = VALUE_LINE.match(line)
                if match and key is not None:
                    data = match.group(2)
                    if data.startswith('"') and data.endswith('"'):
                        data = unescape(data[1:-1])
                    yield hive, key, unescape(match.group(1).strip('"')), data


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    prefix, what = argv[1], argv[2]
    if what == "keys":
        for hive, key, value, _ in entries(prefix):
            if value is None:
                print(f"{hive}\\{key}")
    elif what == "codecs" and len(argv) == 4:
        for hive, key, value, data in entries(prefix):
            match = SERVER_KEY.match(key) if hive == "machine" and value == "@" else None
            if match and ntpath.basename(data).lower() == argv[3].lower():
                print("32" if match.group(1) else "64", match.group(2), data)
    elif what == "mentions" and len(argv) == 4:
        pattern = re.compile(argv[3], re.IGNORECASE)
        for hive, key, value, data in entries(prefix):
            line = f"{hive}\\{key}" if value is None else f"{hive}\\{key}: {value}={data}"
            if pattern.search(line):
                print(line)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
