"""Outputs that differ only in case or Unicode normalisation meet on FAT, exFAT and
case-folding folders: they are refused before any write, on every file system."""
import shutil
import subprocess
import unicodedata

import pytest

from clitools import noisy_png, tree, vextaro

E_ACUTE = "\u00e9"


@pytest.mark.parametrize("names", [
    ("Photo.png", "photo.bmp"),
    (unicodedata.normalize("NFC", E_ACUTE) + ".png", unicodedata.normalize("NFD", E_ACUTE) + ".bmp"),
], ids=["case", "normalisation"])
def test_outputs_meeting_in_another_file_system_are_refused(tmp_path, names):
    (tmp_path / "in").mkdir()
    for name in names:
        (tmp_path / "in" / name).write_bytes(noisy_png())
    done = vextaro("convert", "in", "-o", "out", cwd=tmp_path, status=2)
    assert all(f"in/{name}" in done.stderr for name in names), done.stderr
    assert not (tmp_path / "out").exists()


@pytest.fixture
def fat(tmp_path):
    """A FAT file system mounted through FUSE, as a USB stick would be."""
    if not shutil.which("fusefat") or not shutil.which("mkfs.vfat"):
        pytest.skip("needs fusefat and mkfs.vfat (Debian's fusefat and dosfstools)")
    image, mount = tmp_path / "fat.img", tmp_path / "fat"
    mount.mkdir()
    subprocess.run(["mkfs.vfat", "-C", str(image), "4096"], check=True, capture_output=True)
    if subprocess.run(["fusefat", "-o", "rw+", str(image), str(mount)], capture_output=True).returncode:
        pytest.skip("FUSE cannot mount here")
    yield mount
    subprocess.run(["fusermount", "-u", str(mount)], check=True)


def test_an_output_in_another_case_on_fat_is_existing(tmp_path, fat):
    (fat / "PHOTO.PNG").write_bytes(b"old")
    (tmp_path / "photo.png").write_bytes(noisy_png())
    (tmp_path / "other.png").write_bytes(noisy_png())
    done = vextaro("convert", "photo.png", "other.png", "-o", fat, cwd=tmp_path)
    assert f"skipped photo.png: {fat}/photo.png exists (--overwrite replaces it)" in done.stdout
    assert tree(fat) == ["PHOTO.PNG", "other.png"] and (fat / "PHOTO.PNG").read_bytes() == b"old"
