"""Every message names the path it is about: OUT_DIR when it cannot take outputs (before
any work, exit 2), the output when it cannot be written. Run as user nobody."""
import os

import pytest

from clitools import noisy_png, tree, vextaro


@pytest.mark.parametrize("setup, out, message", [
    (lambda root: (root / "out").mkdir(mode=0o555), "out", "vextaro: out: not writable"),
    (lambda root: (root / "out").write_bytes(b""), "out", "vextaro: out: not a folder"),
    (lambda root: (root / "file").write_bytes(b""), "file/out", "vextaro: file/out: file is not a folder"),
], ids=["read-only", "a file", "below a file"])
def test_out_dir_is_checked_before_any_work(shared, setup, out, message):
    (shared / "x.png").write_bytes(noisy_png())
    setup(shared)
    done = vextaro("convert", "x.png", "-o", out, cwd=shared, status=2, nobody=True)
    assert done.stderr == message + "\n" and done.stdout == ""


@pytest.mark.parametrize("setup, message", [
    (lambda out: (out / "x.png").mkdir(), "out/x.png: Is a directory"),
    (lambda out: (out / "sub").mkdir(mode=0o555), "out/sub/y.png: Permission denied"),
    (lambda out: (out / "sub").write_bytes(b""), "out/sub: File exists"),
], ids=["output is a folder", "read-only subfolder", "subfolder is a file"])
def test_a_failed_write_names_the_output(shared, setup, message):
    (shared / "in" / "sub").mkdir(parents=True)
    (shared / "in" / "x.png").write_bytes(noisy_png())
    (shared / "in" / "sub" / "y.png").write_bytes(noisy_png())
    (shared / "out").mkdir()
    os.chmod(shared / "out", 0o777)
    setup(shared / "out")
    before = tree(shared / "out")
    done = vextaro("convert", "in", "-o", "out", "--overwrite", cwd=shared, status=1, nobody=True)
    assert done.stderr == f"vextaro: {message}\n"
    assert len(tree(shared / "out")) == len(before) + 1  # the other file was converted
