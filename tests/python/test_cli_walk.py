"""Nothing under a source is passed over without a line: linked folders are followed
(each real folder once), unreadable folders are failures, and what is not a regular
file is named as skipped and never opened. Run as user nobody, whom permissions bind."""
import os

import pytest

from clitools import noisy_png, tree, vextaro


def linked(root):
    (root / "elsewhere").mkdir()
    (root / "elsewhere" / "b.png").write_bytes(noisy_png())
    (root / "in" / "link").symlink_to("../elsewhere")
    (root / "in" / "loop").symlink_to(".")
    (root / "in" / "same").symlink_to("link")


def locked_subfolder(root):
    (root / "in" / "locked").mkdir(mode=0o700)
    (root / "in" / "locked" / "c.png").write_bytes(noisy_png())


def fifo(root):
    os.mkfifo(root / "in" / "x.png")
    os.mkfifo(root / "given.png")


@pytest.mark.parametrize("setup, extra, status, out_lines, err_lines, written", [
    (linked, [], 0, ["skipped in/same: the folder in/link, walked already",
                     "skipped in/loop: a link back to in, a loop"], [], ["a.png", "link/b.png"]),
    (locked_subfolder, [], 1, [], ["vextaro: in/locked: Permission denied"], ["a.png"]),
    (fifo, ["given.png"], 0, ["skipped in/x.png: not a regular file (a FIFO)",
                              "skipped given.png: not a regular file (a FIFO)"], [], ["a.png"]),
], ids=["linked folders", "unreadable folder", "FIFOs"])
def test_everything_found_is_named(shared, setup, extra, status, out_lines, err_lines, written):
    (shared / "in").mkdir(mode=0o777)
    (shared / "in" / "a.png").write_bytes(noisy_png())
    setup(shared)
    done = vextaro("convert", "in", *extra, "-o", "out", cwd=shared, status=status, nobody=True)
    assert set(out_lines) <= set(done.stdout.splitlines()), done.stdout
    assert done.stderr.splitlines() == err_lines
    assert tree(shared / "out") == written


def test_an_unreadable_source_folder_fails(shared):
    (shared / "in").mkdir(mode=0o700)
    done = vextaro("convert", "in", "-o", "out", cwd=shared, status=1, nobody=True)
    assert done.stderr == "vextaro: in: Permission denied\n"
    assert done.stdout.splitlines()[-1].startswith("converted 0, skipped 0, failed 1; ")
