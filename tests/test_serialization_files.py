"""Where a write goes and what it leaves: path kinds, targets that are not
files, owners, killed and concurrent writers, writing in place."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import zor.ir
from helpers import Payload, assert_same

TESTS = str(Path(__file__).parent)


def temporaries(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith(".zor-"))


def payload(**values):
    return Payload({"type": "Payload", **values})


class TestPathKinds:
    @pytest.mark.parametrize("make", [str, Path, os.fsencode], ids=["str", "Path", "bytes"])
    def test_every_path_kind(self, tmp_path, make):
        path = make(tmp_path / "g.zor")
        zor.ir.write(path, payload(x=1))
        assert zor.ir.read_version(path) == "0.0.1"
        assert_same(zor.ir.read(path), {"type": "Payload", "x": np.int64(1)})

    def test_bytes_that_are_not_utf8(self, tmp_path):
        path = os.fsencode(tmp_path) + b"/net-\xff.zor"
        zor.ir.write(path, payload(x=1))
        assert os.path.exists(path)
        assert zor.ir.read_version(path) == "0.0.1"
        with pytest.raises(FileNotFoundError) as error:
            zor.ir.read(os.fsencode(tmp_path) + b"/missing-\xff.zor")
        assert str(error.value) == f"ZOR-IR file not found: {tmp_path}/missing-\udcff.zor"

    def test_longest_name_the_system_allows(self, tmp_path):
        longest = tmp_path / ("n" * (os.pathconf(tmp_path, "PC_NAME_MAX") - 4) + ".zor")
        zor.ir.write(longest, payload(x=1))
        zor.ir.write(longest, payload(x=2))
        assert_same(zor.ir.read(longest)["x"], np.int64(2))
        assert temporaries(tmp_path) == []

    def test_not_a_path(self, tmp_path):
        with pytest.raises(TypeError, match="expected str, bytes or os.PathLike object, not int"):
            zor.ir.write(3, payload())


class TestTargets:
    def test_pipe_and_link_to_pipe_are_refused(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        link = tmp_path / "link.zor"
        link.symlink_to(fifo)
        for target in (fifo, link):
            with pytest.raises(ValueError) as error:
                zor.ir.write(target, payload())
            assert str(error.value) == f"Path is not a file: {target}"
        assert fifo.is_fifo() and sorted(p.name for p in tmp_path.iterdir()) == ["link.zor", "pipe"]

    def test_device_is_refused(self):
        with pytest.raises(ValueError, match="^Path is not a file: /dev/null$"):
            zor.ir.write("/dev/null", payload())

    @pytest.mark.skipif(os.geteuid() != 0, reason="giving a file away needs root")
    def test_owner_and_group_survive(self, tmp_path):
        target = tmp_path / "g.zor"
        zor.ir.write(target, payload())
        os.chown(target, 1234, 5678)
        target.chmod(0o604)
        zor.ir.write(target, payload(x=1))
        status = target.stat()
        assert (status.st_uid, status.st_gid, status.st_mode & 0o7777) == (1234, 5678, 0o604)

    @pytest.mark.skipif(os.geteuid() == 0, reason="root writes anywhere")
    def test_writable_file_in_locked_directory_is_written_in_place(self, tmp_path):
        locked = tmp_path / "locked"
        locked.mkdir()
        target = locked / "g.zor"
        zor.ir.write(target, payload(x=1))
        inode = target.stat().st_ino
        locked.chmod(0o500)
        try:
            zor.ir.write(target, payload(x=2))
        finally:
            locked.chmod(0o700)
        assert target.stat().st_ino == inode
        assert_same(zor.ir.read(target)["x"], np.int64(2))


class TestWriters:
    def test_a_killed_writers_file_is_taken_over(self, tmp_path):
        target = tmp_path / "g.zor"
        zor.ir.write(target, payload(old=1))
        code = (f"import sys; sys.path.insert(0, {TESTS!r}); import numpy as np, zor.ir; from helpers import Payload\n"
                f"zor.ir.write({str(target)!r}, Payload({{'big': np.ones((64, 1 << 20))}}))")
        child = subprocess.Popen([sys.executable, "-c", code])
        try:
            deadline = time.monotonic() + 60
            while not temporaries(tmp_path) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.2)
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait()
        assert len(temporaries(tmp_path)) == 1
        zor.ir.write(target, payload(new=1))
        assert temporaries(tmp_path) == []
        assert_same(zor.ir.read(target), {"type": "Payload", "new": np.int64(1)})

    def test_a_write_in_progress_is_not_disturbed(self, tmp_path):
        target = tmp_path / "g.zor"
        zor.ir.write(target, payload(old=1))
        before = target.read_bytes()
        # The name a write of this target works under, locked as a live writer locks it.
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl, sys, time\n"
             "f = open(sys.argv[1], 'w'); fcntl.flock(f, fcntl.LOCK_EX); print('held', flush=True)\n"
             "time.sleep(60)",
             str(tmp_path / lock_name(target))],
            stdout=subprocess.PIPE, text=True)
        try:
            assert holder.stdout.readline() == "held\n"
            with pytest.raises(BlockingIOError) as error:
                zor.ir.write(target, payload(new=1))
            assert str(error.value) == f"[Errno 11] Another write to this file is in progress: '{target}'"
        finally:
            holder.kill()
            holder.wait()
            holder.stdout.close()
        assert target.read_bytes() == before

    def test_durable_is_a_keyword(self, tmp_path):
        for durable in (True, False):
            zor.ir.write(tmp_path / "g.zor", payload(x=durable), durable=durable)
            assert_same(zor.ir.read(tmp_path / "g.zor")["x"], np.bool_(durable))
        with pytest.raises(TypeError):
            zor.ir.write(tmp_path / "g.zor", payload(), False)


def lock_name(target):
    """The name of the new file a write of `target` works under."""
    digest = 0xCBF29CE484222325
    for byte in os.fsencode(target.name):
        digest = ((digest ^ byte) * 0x100000001B3) % (1 << 64)
    return f".zor-{digest:016x}.tmp"
