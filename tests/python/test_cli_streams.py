"""One file SRC with an -o ending in .png or .bmp is converted to that file; - reads
standard input and -o - writes the image alone to standard output."""
import pytest

from clitools import noisy_png, tree, vextaro


@pytest.fixture
def files(SI, tmp_path):
    (tmp_path / "a.png").write_bytes(noisy_png(5, 4))
    SI.open(noisy_png(5, 4)).saveBmp(str(tmp_path / "a.bmp"))
    return tmp_path


@pytest.mark.parametrize("args, made, kind", [
    (["a.bmp", "-o", "b.png"], "b.png", b"\x89PNG"),
    (["a.png", "-o", "sub/B.BMP"], "sub/B.BMP", b"BM"),
    (["a.png", "-o", "c.bmp", "--to", "bmp"], "c.bmp", b"BM"),
], ids=["png by name", "bmp by name", "agreeing --to"])
def test_one_file_to_a_file(SI, files, args, made, kind):
    vextaro("convert", *args, cwd=files)
    assert set(tree(files)) - {"a.png", "a.bmp"} == {made}
    output = (files / made).read_bytes()
    assert output.startswith(kind) and SI.open(output)._pixels == SI.open(noisy_png(5, 4))._pixels


@pytest.mark.parametrize("args", [
    ["a.png", "-o", "x.bmp", "--to", "png"], ["-", "-o", "out"], ["-", "a.png", "-o", "-"],
    ["a.png", "a.bmp", "-o", "-"],
], ids=["--to disagrees", "stdin to a folder", "stdin among others", "stdout for two"])
def test_forms_refused(files, args):
    done = vextaro("convert", *args, cwd=files, status=2)
    assert done.stderr.count("\n") == 1 and set(tree(files)) == {"a.png", "a.bmp"}


@pytest.mark.parametrize("source, to", [("a.bmp", "png"), ("a.png", "bmp")])
def test_standard_streams(files, source, to):
    vextaro("convert", source, "-o", f"ref.{to}", cwd=files)
    done = vextaro("convert", "-", "-o", "-", "--to", to, cwd=files, stdin=(files / source).read_bytes())
    assert done.stdout == (files / f"ref.{to}").read_bytes()
    assert done.stderr.decode().startswith("converted 1, skipped 0, failed 0; ")
