"""Arguments a careless or hostile caller may hand over: each is read for what it says, refused
as Python refuses it, or read as it would be in the C locale, and never past its memory."""

import io
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import tarniff
from conftest import SAMPLE


class Reader(io.RawIOBase):
    """A binary file object whose read() gives whatever buffer it was made with."""

    def __init__(self, data):
        self.data = data

    def readable(self):
        return True

    def read(self, size=-1):
        return self.data


def strided(data, step):
    """A view that gives data's bytes in order, though they lie step bytes apart in memory (in
    reverse order when step is negative)."""
    view = memoryview(bytearray(len(data) * abs(step)))[::step]
    view[:] = data
    return view


def wide(data):
    """data seen as 2-byte items: contiguous, but of an item size of 2."""
    return memoryview(data + b"\0" * (len(data) % 2)).cast("H")


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


# How the source is made from the sample's bytes, and whether what it gives is the sample
# (True) or raises that exception with words matching the pattern.
HOSTILE_SOURCES = {
    "file object giving a view of stride 2": (lambda d: Reader(strided(d, 2)), True),
    "file object giving a reversed view": (lambda d: Reader(strided(d, -1)), True),
    "file object giving a reversed view of stride 3": (lambda d: Reader(strided(d, -3)), True),
    "view of stride 2": (lambda d: strided(d, 2), True),
    "reversed view": (lambda d: strided(d, -1), True),
    "file object giving 2-byte items": (lambda d: Reader(wide(d)), True),
    "file object giving a view of a NumPy array": (
        lambda d: Reader(memoryview(np.frombuffer(d, np.uint8)[::-1].copy()[::-1])), True),
    "path with a NUL byte": (lambda d: str(SAMPLE) + "\0.png", (ValueError, "embedded null byte")),
    "path-like with a NUL byte": (lambda d: PathLike(str(SAMPLE) + "\0"), (ValueError, "embedded null byte")),
    "path-like of bytes with a NUL byte": (lambda d: PathLike(os.fsencode(SAMPLE) + b"\0.png"),
                                           (ValueError, "embedded null byte")),
}


@pytest.mark.parametrize("make,outcome", HOSTILE_SOURCES.values(), ids=HOSTILE_SOURCES.keys())
@pytest.mark.parametrize("call", ["read", "info"])
def test_hostile_sources(make, outcome, call):
    data = SAMPLE.read_bytes()
    source = make(data)
    if outcome is True:
        if call == "read":
            expected = tarniff.read(SAMPLE)
            image = tarniff.read(source)
            np.testing.assert_array_equal(image.pixels, expected.pixels)
            np.testing.assert_array_equal(image.depth, expected.depth)
        else:
            found = tarniff.info(source)
            assert found == dict(tarniff.info(str(SAMPLE)), file=found["file"])
        return
    error, words = outcome
    with pytest.raises(error, match=words):
        getattr(tarniff, call)(source)


# Where write is asked to save: a path whose NUL byte would cut it short.
HOSTILE_TARGETS = {
    "str": lambda folder: str(folder / "out.iff") + "\0.png",
    "bytes": lambda folder: os.fsencode(folder / "out.iff") + b"\0.png",
    "path-like": lambda folder: PathLike(str(folder / "out.iff\0")),
}


@pytest.mark.parametrize("make", HOSTILE_TARGETS.values(), ids=HOSTILE_TARGETS.keys())
def test_a_target_path_with_a_nul_byte_writes_nothing(tmp_path, make):
    with pytest.raises(ValueError, match="embedded null byte"):
        tarniff.write(make(tmp_path), np.zeros((8, 8, 3), np.uint8))
    assert os.listdir(tmp_path) == []


def test_the_bridge_refuses_what_it_cannot_take_whole(tmp_path):
    # Below the public functions: the bridge itself takes neither a cut path nor a strided view.
    module = tarniff._the_module()
    with pytest.raises(ValueError, match="embedded null byte"):
        module.open(os.fsencode(SAMPLE) + b"\0.png", b"x")
    with pytest.raises(ValueError, match="embedded null byte"):
        module.save(np.zeros((8, 8, 3), np.uint8), os.fsencode(tmp_path / "a.iff") + b"\0", b"a", True)
    assert os.listdir(tmp_path) == []
    with pytest.raises(BufferError):
        module.open_bytes(strided(SAMPLE.read_bytes(), -1), b"<bytes>")
    with pytest.raises(BufferError):
        module.info_bytes(strided(SAMPLE.read_bytes(), 2), b"<bytes>")


@pytest.fixture(scope="session")
def decimal_comma_locales(tmp_path_factory):
    """A folder of locales whose decimal separator is a comma, made with localedef (the system
    may have none installed), for LOCPATH."""
    if shutil.which("localedef") is None:
        pytest.skip("localedef is not installed")
    folder = tmp_path_factory.mktemp("locales")
    subprocess.run(["localedef", "--no-warnings=ascii", "-c", "-i", "de_DE", "-f", "UTF-8",
                    str(folder / "de_DE.UTF-8")], capture_output=True)
    if not (folder / "de_DE.UTF-8" / "LC_NUMERIC").exists():
        pytest.skip("localedef cannot make de_DE.UTF-8 here")
    return folder


def test_info_is_json_under_a_locale_with_decimal_commas(decimal_comma_locales):
    script = (
        "import json, locale, sys\n"
        "locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')\n"
        "assert locale.localeconv()['decimal_point'] == ','\n"
        "import tarniff\n"
        "json.dump(tarniff.info(sys.argv[1]), sys.stdout)\n")
    environment = dict(os.environ, LOCPATH=str(decimal_comma_locales))
    run = subprocess.run([sys.executable, "-P", "-c", script, str(SAMPLE)], capture_output=True, text=True,
                         env=environment)
    assert run.returncode == 0, run.stderr
    expected = tarniff.info(str(SAMPLE))
    assert json.loads(run.stdout) == expected

    def fractions(value):
        if isinstance(value, dict):
            return sum(fractions(v) for v in value.values())
        if isinstance(value, list):
            return sum(fractions(v) for v in value)
        return isinstance(value, float) and not value.is_integer()
    assert fractions(expected) > 0  # a number a decimal comma would have broken
