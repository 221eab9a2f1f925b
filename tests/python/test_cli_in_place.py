"""Converting a folder into itself: a source that is its own output is skipped as
existing, so that a second run does nothing, or re-encoded in place with --overwrite."""
import pytest

from clitools import noisy_png, tree, vextaro


@pytest.mark.parametrize("args, first, second, files", [
    (["--to", "bmp"], "converted 1, skipped 0", "converted 0, skipped 2", ["x.bmp", "x.png"]),
    ([], "converted 0, skipped 1", "converted 0, skipped 1", ["x.png"]),
    (["--overwrite", "--compress-level", 0], "converted 1, skipped 0", "converted 1, skipped 0", ["x.png"]),
], ids=["to bmp, twice", "png into itself", "re-encoded in place"])
def test_a_folder_into_itself(SI, tmp_path, args, first, second, files):
    (tmp_path / "ip").mkdir()
    (tmp_path / "ip" / "x.png").write_bytes(noisy_png())
    pixels = SI.open(noisy_png())._pixels
    for summary in (first, second):
        done = vextaro("convert", "ip", "-o", "ip", *args, cwd=tmp_path)
        assert done.stdout.splitlines()[-1].startswith(summary + ", failed 0"), done.stdout
    assert tree(tmp_path / "ip") == files
    assert all(SI.open(str(tmp_path / "ip" / name))._pixels == pixels for name in files)
    if "--overwrite" in args:  # stored, no longer the source's compression
        assert (tmp_path / "ip" / "x.png").read_bytes() != noisy_png()
