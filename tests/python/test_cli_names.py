"""Names that are not UTF-8 are printed with backslash escapes under a strict UTF-8
output, and a reader that goes away ends the command quietly, as with `ls | head`."""
import os
import subprocess

import pytest

from clitools import command, env, noisy_png

LATIN_1 = b"caf\xe9"


@pytest.mark.parametrize("args, out_has, err", [
    (["convert", "in", "-o", "out"], ["converted 1, skipped 1, failed 1; "],
     "vextaro: in/bad\\xe9.png: Unsupported image format\n"),
    (["info", "in/caf\udce9.png", "in/bad\udce9.png", "in/z.png"],
     ["in/caf\\xe9.png: PNG 32x32", "in/z.png: PNG 32x32"], "vextaro: in/bad\\xe9.png: Unsupported image format\n"),
], ids=["convert", "info"])
def test_names_that_are_not_utf8(tmp_path, args, out_has, err):
    folder = os.fsencode(tmp_path / "in")
    os.mkdir(folder)
    for name, data in ((LATIN_1 + b".png", noisy_png()), (b"bad\xe9.png", b"not an image"),
                       (b"z.png", noisy_png()), (b"notes\xe9.txt", b"")):
        with open(os.path.join(folder, name), "wb") as file:
            file.write(data)
    if args[0] == "convert":
        os.remove(os.path.join(folder, b"z.png"))
    done = subprocess.run(command(*args), cwd=tmp_path, capture_output=True, env=env(PYTHONIOENCODING="utf-8"))
    stdout, stderr = done.stdout.decode(), done.stderr.decode()
    assert done.returncode == 1 and stderr == err, stderr
    assert all(any(line.startswith(start) for line in stdout.splitlines()) for start in out_has), stdout


def test_a_reader_that_goes_away(tmp_path):
    (tmp_path / "a.png").write_bytes(noisy_png())
    # Far more than a pipe holds, so that the command is still writing when the reader goes.
    child = subprocess.Popen(command("info", *["a.png"] * 3000), cwd=tmp_path, env=env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline().startswith(b"a.png: PNG")
        child.stdout.close()
        assert child.wait(120) == 141
        assert child.stderr.read() == b""
    finally:
        child.kill()

