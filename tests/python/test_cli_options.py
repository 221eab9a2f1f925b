"""--dry-run, -q, --keep-if-smaller and --preserve-time."""
import fcntl
import os
import struct
import subprocess
import termios
import zlib

import pytest

from clitools import command, env, noisy_png, tree, vextaro
from pngtools import image, scanlines

FLAT = [bytes(range(48))] * 16


def stored_png():
    """Image data stored uncompressed: any encoder makes it smaller."""
    return image(16, 16, scanlines([0] * 16, FLAT), payload=zlib.compress(scanlines([0] * 16, FLAT), 0))


def tight_png():
    """Compressed harder than the module's default does: re-encoding makes it larger."""
    return image(16, 16, scanlines([2] * 16, FLAT), payload=zlib.compress(scanlines([2] * 16, FLAT), 9))


@pytest.mark.parametrize("args, status, lines", [
    (["in", "-o", "out"], 0, ["would convert in/a.png to out/a.png", "would convert in/b.bmp to out/b.png",
                              "would convert 2, skipped 0, failed 0"]),
    (["in", "-o", "out", "--to", "bmp"], 0, ["would convert in/a.png to out/a.bmp", "skipped in/b.bmp: "
                                             "out/b.bmp exists (--overwrite replaces it)"]),
    (["in", "in/a.png", "-o", "out", "--to", "bmp"], 0, ["would convert 1, skipped 1, failed 0"]),
    (["in", "in2", "-o", "out"], 2, []),
], ids=["plain", "existing", "given twice", "collision"])
def test_dry_run_writes_nothing(SI, tmp_path, args, status, lines):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "a.png").write_bytes(noisy_png())
    SI.open(noisy_png()).saveBmp(str(tmp_path / "in" / "b.bmp"))
    (tmp_path / "in2").mkdir()
    SI.open(noisy_png()).saveBmp(str(tmp_path / "in2" / "a.bmp"))  # meets in/a.png in out/a.png
    if "bmp" in args:
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "b.bmp").write_bytes(b"old")
    before = tree(tmp_path)
    done = vextaro("convert", *args, "--dry-run", cwd=tmp_path, status=status)
    assert set(lines) <= set(done.stdout.splitlines()), done.stdout
    assert tree(tmp_path) == before and (tmp_path / "out").exists() == ("bmp" in args)


@pytest.mark.parametrize("quiet", [False, True])
def test_quiet_drops_the_progress_alone(tmp_path, quiet):
    (tmp_path / "a.png").write_bytes(noisy_png())
    controller, terminal = os.openpty()  # the progress shows on a terminal only, of some width
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    child = subprocess.Popen(command("convert", "a.png", "-o", "out", *(["-q"] if quiet else [])), cwd=tmp_path,
                             env=env(), stdout=subprocess.PIPE, stderr=terminal)
    os.close(terminal)
    shown = b""
    while True:
        try:
            piece = os.read(controller, 4096)
        except OSError:  # the child closed its end
            break
        if not piece:
            break
        shown += piece
    os.close(controller)
    assert child.wait(60) == 0 and child.stdout.read().startswith(b"converted 1")
    assert (b"1/1" in shown or b"file" in shown) != quiet, shown


@pytest.mark.parametrize("source, copied", [(tight_png, True), (stored_png, False)], ids=["larger", "smaller"])
def test_keep_if_smaller(SI, tmp_path, source, copied):
    (tmp_path / "a.png").write_bytes(source())
    SI.open(source()).saveBmp(str(tmp_path / "b.bmp"))
    vextaro("convert", "a.png", "b.bmp", "-o", "out", "--keep-if-smaller", cwd=tmp_path)
    vextaro("convert", "a.png", "b.bmp", "-o", "plain", cwd=tmp_path)
    output, plain = (tmp_path / "out" / "a.png").read_bytes(), (tmp_path / "plain" / "a.png").read_bytes()
    assert (output == source()) == copied and (plain == output) != copied
    assert len(output) <= len(source()) and SI.open(output)._pixels == SI.open(source())._pixels
    assert (tmp_path / "out" / "b.png").read_bytes() == (tmp_path / "plain" / "b.png").read_bytes()


@pytest.mark.parametrize("extra", [[], ["--keep-if-smaller"]], ids=["converted", "copied"])
def test_preserve_time(tmp_path, extra):
    (tmp_path / "a.png").write_bytes(tight_png())
    os.utime(tmp_path / "a.png", ns=(1_000_000_000_123_456_789, 1_000_000_000_987_654_321))
    vextaro("convert", "a.png", "-o", "out", "--preserve-time", *extra, cwd=tmp_path)
    assert (tmp_path / "out" / "a.png").stat().st_mtime_ns == 1_000_000_000_987_654_321
