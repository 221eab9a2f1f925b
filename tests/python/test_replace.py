"""How a save replaces a file: what the new file is before its first byte, other users
racing it, folders and file systems a rename cannot serve. Each case runs in a process of
its own, as root where it acts as other users or mounts."""
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap

import pytest

from conftest import ROOT

ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="acts as other users and mounts")
NOBODY = 65534

# Runs `body` with `SI` and `folder` bound; where `hook` is given, it runs with the path
# argument of every open() of the process, the new file's descriptor included: the
# moment after the save made the new file and before it wrote a byte. Prints what
# `body` leaves in `out`, as JSON.
PRELUDE = """
import json, os, sys
sys.path.insert(0, {root!r})
from Vextaro.simpleImage_ext import SimpleImage as SI
folder = {folder!r}
out = {{}}
"""
HOOK = """
def on_open(event, args):
    if event == "open" and not on_open.busy:
        on_open.busy = True
        try:
            hook(args[0])
        finally:
            on_open.busy = False
on_open.busy = False
sys.addaudithook(on_open)
"""


def run(folder, body, hook=None, cwd=None):
    code = PRELUDE.format(root=ROOT, folder=str(folder))
    if hook:
        code += textwrap.dedent(hook) + HOOK
    code += textwrap.dedent(body) + "\nprint(json.dumps(out))\n"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=cwd)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def facts(path):
    st = os.stat(path, follow_symlinks=False)
    names = sorted(os.listxattr(path, follow_symlinks=False))
    return [st.st_mode, st.st_uid, st.st_gid, {n: os.getxattr(path, n).hex() for n in names}]


def acl(*entries):
    """A POSIX access ACL as the kernel stores it: (tag, permissions, id) entries."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


@pytest.fixture
def shared_folder():
    """A folder other users may enter (pytest's own are closed to them)."""
    folder = pathlib.Path(tempfile.mkdtemp())
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


# Not created by this test: a file system without ACLs or user attributes skips.
def set_attributes(target, how):
    try:
        if how == "acl":  # user 65534 rw, the owning group nothing, mask rw
            os.setxattr(target, "system.posix_acl_access",
                        acl((1, 6, 0xFFFFFFFF), (2, 6, NOBODY), (4, 0, 0xFFFFFFFF), (0x10, 6, 0xFFFFFFFF),
                            (0x20, 0, 0xFFFFFFFF)))
        elif how == "attribute":
            os.setxattr(target, "user.origin", b"camera 7")
    except OSError as error:
        pytest.skip(f"this file system keeps no {how}: {error}")


@ROOT_ONLY
@pytest.mark.parametrize("mode, owner, how", [(0o600, NOBODY, None), (0o2640, 0, None), (0o644, 0, "acl"),
                                              (0o640, NOBODY, "attribute")])
def test_the_new_file_is_the_old_one_before_its_first_byte(shared_folder, mode, owner, how):
    target = shared_folder / "a.png"
    target.write_bytes(b"old")
    os.chown(target, owner, owner)
    target.chmod(mode)
    set_attributes(target, how)
    before = facts(target)
    got = run(shared_folder, """
        SI(2, 1, bytes(6)).save(os.path.join(folder, "a.png"))
        """, hook="""
        def hook(path):
            if isinstance(path, int):
                hidden = [n for n in os.listdir(folder) if n.startswith(".vextaro-")]
                st = os.fstat(path)
                out["seen"] = [st.st_mode, st.st_uid, st.st_gid, len(hidden), st.st_size]
        """)
    assert got["seen"] == before[:3] + [1, 0]
    assert facts(target) == before and target.read_bytes()[:4] == b"\x89PNG"
    assert os.listdir(shared_folder) == ["a.png"]


@ROOT_ONLY
def test_a_name_swapped_during_the_save_gets_what_open_would_give_it(shared_folder, tmp_path):
    # Another user's file swapped for a link to root's private one between the look-up and
    # the rename: open(path, "wb") would write root's file in place, owner and mode kept.
    victim = tmp_path / "private.png"
    victim.write_bytes(b"root's")
    victim.chmod(0o600)
    target = shared_folder / "a.png"
    target.write_bytes(b"old")
    os.chown(target, NOBODY, NOBODY)
    target.chmod(0o666)
    inode = victim.stat().st_ino
    run(shared_folder, """
        SI(2, 1, bytes(6)).save(os.path.join(folder, "a.png"))
        """, hook=f"""
        def hook(path):
            if isinstance(path, int):
                os.symlink({str(victim)!r}, os.path.join(folder, "swap"))
                os.rename(os.path.join(folder, "swap"), os.path.join(folder, "a.png"))
        """)
    st = victim.stat()
    assert (st.st_ino, st.st_uid, st.st_mode & 0o7777) == (inode, 0, 0o600)
    assert victim.read_bytes()[:4] == b"\x89PNG" and target.is_symlink()
    assert os.listdir(shared_folder) == ["a.png"]


@ROOT_ONLY
@pytest.mark.parametrize("where", ["sticky folder", "bind mount"])
def test_written_in_place_where_a_rename_cannot_keep_the_file(shared_folder, tmp_path, where):
    target = shared_folder / "a.png"
    target.write_bytes(b"old")
    if where == "sticky folder":
        # Another user's writable file: the saver can give the new file neither owner nor rename.
        shared_folder.chmod(0o1777)
        os.chown(target, NOBODY, NOBODY)
        target.chmod(0o666)
        drop = "os.setgid(65533); os.setuid(65533)"
    else:
        mounted = tmp_path / "mounted.png"
        mounted.write_bytes(b"old")
        if subprocess.run(["mount", "--bind", str(mounted), str(target)], capture_output=True).returncode:
            pytest.skip("cannot bind-mount a file here")
        drop = ""
    try:
        before = os.stat(target)
        run(shared_folder, f"""
            {drop}
            SI(2, 1, bytes(6)).save(os.path.join(folder, "a.png"))
            """)
        after = os.stat(target)
        assert (after.st_ino, after.st_uid, after.st_mode) == (before.st_ino, before.st_uid, before.st_mode)
        assert target.read_bytes()[:4] == b"\x89PNG" and os.listdir(shared_folder) == ["a.png"]
    finally:
        if where == "bind mount":
            subprocess.run(["umount", str(target)], check=True)


@ROOT_ONLY
def test_no_room_for_a_new_file_leaves_the_old_one(tmp_path):
    folder = tmp_path / "small"
    folder.mkdir()
    # Two inodes: the root folder and the old file.
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=2", "tmpfs", str(folder)],
                      capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (folder / "a.png").write_bytes(b"old")
        got = run(folder, """
            try:
                SI(2, 1, bytes(6)).save(os.path.join(folder, "a.png"))
            except OSError as error:
                out["error"] = [error.errno, error.filename]
            """)
        assert got["error"] == [28, str(folder / "a.png")]
        assert (folder / "a.png").read_bytes() == b"old" and os.listdir(folder) == ["a.png"]
    finally:
        subprocess.run(["umount", str(folder)], check=True)


# Paths the C library's realpath() cannot resolve, where open(path, "wb") succeeds.
DEEP = """
    os.chdir(folder)
    for _ in range(300):
        os.mkdir("d" * 20)
        os.chdir("d" * 20)
    """
CLOSED = """
    os.mkdir(os.path.join(folder, "closed"), 0o700)
    os.mkdir(os.path.join(folder, "closed", "open"))
    os.chmod(os.path.join(folder, "closed", "open"), 0o777)
    os.chdir(os.path.join(folder, "closed", "open"))
    os.setgid(65534); os.setuid(65534)
    """


@pytest.mark.parametrize("setup", [DEEP, pytest.param(CLOSED, marks=ROOT_ONLY)], ids=["deep", "closed parent"])
def test_relative_paths_realpath_cannot_resolve(tmp_path, setup):
    got = run(tmp_path, textwrap.dedent(setup) + textwrap.dedent("""
        for round in range(2):  # made, then replaced
            SI(2, 1, bytes(6)).save("a.png")
        out["files"] = sorted(os.listdir("."))
        out["data"] = open("a.png", "rb").read(4).hex()
        """))
    assert got == {"files": ["a.png"], "data": "89504e47"}


def test_a_deleted_file_by_its_proc_link(tmp_path):
    got = run(tmp_path, """
        fd = os.open(os.path.join(folder, "gone.png"), os.O_RDWR | os.O_CREAT)
        os.unlink(os.path.join(folder, "gone.png"))
        SI(2, 1, bytes(6)).save(f"/proc/self/fd/{fd}")
        out["data"] = os.pread(fd, 4, 0).hex()
        out["files"] = os.listdir(folder)
        """)
    assert got == {"data": "89504e47", "files": []}


def test_relative_saves_while_another_thread_changes_folder(tmp_path):
    # Each new file stays in the folder its look-up found: none fails, none leaves a hidden file.
    for name in "ab":
        (tmp_path / name).mkdir()
    got = run(tmp_path, """
        import threading
        sys.setswitchinterval(1e-6)
        stop = threading.Event()
        def wander():
            while not stop.is_set():
                for name in "ab":
                    os.chdir(os.path.join(folder, name))
        os.chdir(os.path.join(folder, "a"))
        walker = threading.Thread(target=wander)
        walker.start()
        try:
            for i in range(1000):
                SI(2, 1, bytes(6)).save(f"{i}.png")
        finally:
            stop.set()
            walker.join()
        out["left"] = sorted(os.listdir(os.path.join(folder, "a")) + os.listdir(os.path.join(folder, "b")))
        """)
    assert sorted(got["left"]) == sorted(f"{i}.png" for i in range(1000))
