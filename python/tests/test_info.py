"""tarniff.info gives the object `tniff info --json` prints for the same file."""

import pytest

import tarniff
from conftest import SAMPLE


def test_the_sample(tniff_info):
    assert tarniff.info(str(SAMPLE)) == tniff_info(str(SAMPLE))


@pytest.mark.parametrize("channels,depth", [(0, True), (1, False), (3, True), (4, False)])
def test_builder_files_and_their_bytes(make_file, tniff_info, channels, depth):
    path = make_file(77, 50, channels, depth=depth, blocks=6, tile=32, shuffled=True)
    expected = tniff_info(str(path))
    assert tarniff.info(str(path)) == expected
    assert tarniff.info(path.read_bytes()) == dict(expected, file="<bytes>")


@pytest.mark.parametrize("length", [30000, 150000])
def test_a_cut_file_is_described_with_its_damage(tmp_path, tniff_info, length):
    path = tmp_path / "cut.iff"
    path.write_bytes(SAMPLE.read_bytes()[:length])
    found = tarniff.info(str(path))
    assert found == tniff_info(str(path))
    assert found["read"]["complete"] is False and "ends at" in found["damage"]["reason"]


def test_a_refused_file_raises_what_tniff_lists(tmp_path, tniff_info):
    path = tmp_path / "broken.iff"
    data = bytearray(SAMPLE.read_bytes())
    data[data.index(b"TBHD") + 8:data.index(b"TBHD") + 12] = bytes(4)  # width 0
    path.write_bytes(bytes(data))
    listed = tniff_info(str(path))
    with pytest.raises(tarniff.Error) as caught:
        tarniff.info(str(path))
    assert (str(caught.value), caught.value.code, caught.value.code_name) == \
        (listed["error"], listed["code"], listed["codeName"])
