"""Outputs that differ only in case or Unicode normalisation meet on FAT, exFAT and
case-folding folders: they are refused before any write, on every file system."""
import os
import shutil
import subprocess
import time
import unicodedata

import pytest

from clitools import command, env, noisy_png, tree, vextaro

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


def blocked_reading_stdin(pid):
    """True while the process waits in read(0, ...): the x86-64 and arm64 read syscalls."""
    try:
        fields = open(f"/proc/{pid}/syscall").read().split()
    except OSError:
        return False
    return len(fields) > 1 and fields[0] in ("0", "63") and int(fields[1], 16) == 0


def test_an_output_that_appears_after_planning_is_left_alone(tmp_path):
    if not os.path.exists(f"/proc/{os.getpid()}/syscall"):
        pytest.skip("needs /proc/PID/syscall to see the command wait for its input")
    child = subprocess.Popen(command("convert", "-", "-o", "x.png"), cwd=tmp_path, env=env(),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        # The handshake: the command reads its input only once its plan is made.
        deadline = time.monotonic() + 60
        while not blocked_reading_stdin(child.pid):
            assert child.poll() is None and time.monotonic() < deadline, "the command never read its input"
            time.sleep(0.01)
        (tmp_path / "x.png").write_bytes(b"appeared")
        stdout, stderr = child.communicate(noisy_png(), timeout=60)
    finally:
        child.kill()
    assert child.returncode == 0, stderr
    assert stdout.decode().startswith("skipped -: x.png appeared meanwhile (--overwrite replaces it)\n")
    assert (tmp_path / "x.png").read_bytes() == b"appeared"
