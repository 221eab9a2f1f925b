"""Outputs are written by the module's own save: an output replaced with --overwrite keeps
its mode and its link, and a long legal name needs no longer temporary one."""
import os

import pytest

from clitools import noisy_png, tree, vextaro


def mode_600(out):
    (out / "x.png").write_bytes(b"old")
    os.chmod(out / "x.png", 0o600)


def linked(out):
    (out / "real.png").write_bytes(b"old")
    (out / "x.png").symlink_to("real.png")


@pytest.mark.parametrize("setup, check", [
    (mode_600, lambda out: (out / "x.png").stat().st_mode & 0o777 == 0o600),
    (linked, lambda out: os.readlink(out / "x.png") == "real.png"
     and (out / "real.png").read_bytes()[:4] == b"\x89PNG"),
], ids=["mode", "link"])
def test_overwrite_keeps_what_the_output_had(tmp_path, setup, check):
    (tmp_path / "x.png").write_bytes(noisy_png())
    (tmp_path / "out").mkdir()
    setup(tmp_path / "out")
    vextaro("convert", "x.png", "-o", "out", "--overwrite", cwd=tmp_path)
    assert check(tmp_path / "out")


def test_longest_name(tmp_path):
    name = "n" * 251 + ".bmp"  # 255 bytes, the most a name may have; its output too
    (tmp_path / name).write_bytes(noisy_png())
    vextaro("convert", name, "-o", "out", cwd=tmp_path)
    assert tree(tmp_path / "out") == ["n" * 251 + ".png"]
