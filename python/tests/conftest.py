"""What the package's tests share: the tniff program and the file maker of the same build, and
tniff's own output for a file, the reference every read and write is compared with.

TARNIFF_TEST_TNIFF and TARNIFF_TEST_MAKE_FILE name the programs (scripts/test.sh sets them);
by default they are taken from build/bin of the repository.
"""

import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
SAMPLE = REPOSITORY / "samples" / "render.iff"


def _program(variable, name):
    path = Path(os.environ.get(variable) or REPOSITORY / "build" / "bin" / name)
    if not os.access(path, os.X_OK):
        pytest.fail(f"{path} is not there: build it, or name it with {variable}")
    return path


@pytest.fixture(scope="session")
def tniff():
    return _program("TARNIFF_TEST_TNIFF", "tniff")


@pytest.fixture(scope="session")
def make_file_program():
    return _program("TARNIFF_TEST_MAKE_FILE", "tniff_make_python_file")


@pytest.fixture
def make_file(make_file_program, tmp_path):
    """make_file(width, height, channels, depth=False, form="smallest", tile=64, blocks=1,
    levels=256, seed=1, shuffled=False) writes a file composed by the test-side builder (see
    make_file.cpp) and gives its path."""
    def make(width, height, channels, depth=False, form="smallest", tile=64, blocks=1, levels=256, seed=1,
             shuffled=False):
        path = tmp_path / f"made-{width}x{height}-{channels}{'-depth' if depth else ''}-{form}-{seed}.iff"
        command = [make_file_program, path, str(width), str(height), str(channels), "--form", form,
                   "--tile", str(tile), "--blocks", str(blocks), "--levels", str(levels), "--seed", str(seed)]
        command += ["--depth"] if depth else []
        command += ["--shuffled"] if shuffled else []
        subprocess.run(command, check=True)
        return path
    return make


def read_pam(path):
    """A PAM file's pixels as an H x W x DEPTH array, and its tuple type."""
    data = Path(path).read_bytes()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(" ", 1) for line in data[:end].decode().splitlines()[1:-1])
    shape = (int(fields["HEIGHT"]), int(fields["WIDTH"]), int(fields["DEPTH"]))
    assert fields["MAXVAL"] == "255"
    return np.frombuffer(data, np.uint8, count=np.prod(shape), offset=end).reshape(shape), fields.get("TUPLTYPE", "")


def write_pam(path, pixels):
    """pixels (H x W or H x W x C uint8) as a PAM file."""
    pixels = pixels if pixels.ndim == 3 else pixels[:, :, None]
    height, width, depth = pixels.shape
    kind = ["GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"][depth - 1]
    header = f"P7\nWIDTH {width}\nHEIGHT {height}\nDEPTH {depth}\nMAXVAL 255\nTUPLTYPE {kind}\nENDHDR\n"
    Path(path).write_bytes(header.encode() + np.ascontiguousarray(pixels).tobytes())


@pytest.fixture
def tniff_pam(tniff, tmp_path):
    """tniff_pam(path, partial=False) gives every plane tniff converts from the file, as an
    H x W x planes array (colour, then depth), and the PAM tuple type."""
    def convert(path, partial=False):
        out = tmp_path / (Path(path).name + ".pam")
        subprocess.run([tniff, "--quiet", "convert", path, out] + (["--partial"] if partial else []), check=True)
        return read_pam(out)
    return convert


@pytest.fixture
def tniff_info(tniff):
    """tniff_info(path) gives the object `tniff info --json` prints for the file."""
    def describe(path):
        run = subprocess.run([tniff, "--quiet", "info", "--json", path], capture_output=True, text=True)
        assert run.returncode in (0, 1), run.stderr
        return json.loads(run.stdout)[0]
    return describe


@pytest.fixture
def tniff_error(tniff, tmp_path):
    """tniff_error(path) gives the line tniff prints when it fails to convert the file, without
    its "tniff: " prefix."""
    def fail(path):
        run = subprocess.run([tniff, "--quiet", "convert", path, tmp_path / "refused.pam"], capture_output=True, text=True)
        assert run.returncode == 1, run.stderr
        line = run.stderr.splitlines()[0]
        assert line.startswith("tniff: ")
        return line[len("tniff: "):]
    return fail


@pytest.fixture
def tniff_save(tniff, tmp_path):
    """tniff_save(pixels) gives the bytes tniff writes for those pixels (given it as a PAM file)."""
    def save(pixels):
        pam, iff = tmp_path / "pixels.pam", tmp_path / "tniff.iff"
        write_pam(pam, pixels)
        subprocess.run([tniff, "--quiet", "convert", pam, iff], check=True)
        return iff.read_bytes()
    return save
