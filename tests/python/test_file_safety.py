"""A save that fails keeps the previous file; a save keeps what the target was
(mode, owner, links, special files); reading never trusts a file's reported
size nor reads a device forever. Limits run in child processes."""
import math
import os
import pathlib
import random
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time

import pytest

import kyr
from file_fault_scenarios import TEMPORARY_NAME, good_file, leftovers, run_scenario, sha256

as_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


# ----- a failed save keeps the previous file ---------------------------------

@pytest.mark.parametrize("via", ["method", "function"])
@pytest.mark.parametrize("limit, error", [
    ("file size", "OSError: Write error: File too large (os error 27)"),
    ("memory", "MemoryError: "),
])
def test_failed_save_keeps_the_previous_file(tmp_path, via, limit, error):
    target = tmp_path / "state.kyr"
    old = good_file(target)
    result = run_scenario("save_under_limit", str(target), limit, via)
    assert result == {"error": error, "source_path": None}
    assert target.read_bytes() == old
    assert os.listdir(tmp_path) == ["state.kyr"]


@pytest.fixture
def full_disk(tmp_path):
    """A 2 MiB tmpfs, mounted for the test if the system permits it."""
    mount_point = tmp_path / "tmpfs"
    mount_point.mkdir()
    mount = ["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mount_point)]
    if shutil.which("mount") is None or subprocess.run(mount, capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


def test_save_that_fills_the_disk_keeps_the_previous_file(full_disk):
    target = full_disk / "state.kyr"
    old = good_file(target, qubits=16)  # 1 MiB of the 2
    state = kyr.KyrFile(17)  # 2 MiB: cannot fit
    with pytest.raises(OSError) as raised:
        state.save(str(target))
    assert str(raised.value) == "Write error: No space left on device (os error 28)"
    assert target.read_bytes() == old
    assert os.listdir(full_disk) == ["state.kyr"]
    assert state.source_path is None


# ----- what the target keeps ---------------------------------------------------

@pytest.mark.parametrize("mode", [0o600, 0o640, 0o755, 0o4711])
def test_save_keeps_the_permission_bits(tmp_path, mode):
    target = tmp_path / "state.kyr"
    good_file(target)
    os.chmod(target, mode)
    kyr.KyrFile(2).save(str(target))
    assert stat.S_IMODE(os.stat(target).st_mode) == mode
    assert target.read_bytes() == kyr.KyrFile(2).to_bytes()


@as_root
def test_save_as_root_keeps_the_owner(tmp_path):
    target = tmp_path / "state.kyr"
    good_file(target)
    os.chown(target, 4321, 8765)
    kyr.KyrFile(2).save(str(target))
    info = os.stat(target)
    assert (info.st_uid, info.st_gid) == (4321, 8765)
    assert target.read_bytes() == kyr.KyrFile(2).to_bytes()


@pytest.mark.parametrize("umask, mode", [(0, 0o666), (0o027, 0o640), (0o022, 0o644)])
def test_new_file_mode_follows_the_umask(tmp_path, umask, mode):
    previous = os.umask(umask)
    try:
        kyr.KyrFile(1).save(str(tmp_path / "new.kyr"))
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(tmp_path / "new.kyr").st_mode) == mode


@pytest.mark.parametrize("make_link", [
    lambda target, link: os.symlink(target, link),
    lambda target, link: os.symlink(os.path.relpath(target, os.path.dirname(link)), link),
    lambda target, link: (os.symlink(target, str(link) + ".hop"), os.symlink(str(link) + ".hop", link)),
], ids=["absolute", "relative", "chain"])
@pytest.mark.parametrize("exists", [True, False], ids=["existing", "dangling"])
def test_save_through_a_symlink_replaces_its_target(tmp_path, make_link, exists):
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "state.kyr"
    if exists:
        good_file(target)
    link = tmp_path / "link.kyr"
    make_link(str(target), str(link))
    links = {path: os.readlink(path) for path in tmp_path.iterdir() if path.is_symlink()}
    kyr.KyrFile(2).save(str(link))
    assert {path: os.readlink(path) for path in tmp_path.iterdir() if path.is_symlink()} == links
    assert target.read_bytes() == kyr.KyrFile(2).to_bytes()
    assert not target.is_symlink()
    assert os.listdir(tmp_path / "data") == ["state.kyr"]


def test_save_over_a_hard_link_keeps_both_names_on_one_file(tmp_path):
    first = tmp_path / "first.kyr"
    second = tmp_path / "second.kyr"
    good_file(first)
    os.link(first, second)
    inode = os.stat(first).st_ino
    kyr.KyrFile(2).save(str(first))
    assert os.stat(first).st_ino == os.stat(second).st_ino == inode
    assert first.read_bytes() == second.read_bytes() == kyr.KyrFile(2).to_bytes()


@pytest.fixture
def other_user_directory():
    """A directory reachable by the user the scenario saves as: nobody when
    running as root (root may write anywhere), else the current user."""
    directory = pathlib.Path(tempfile.mkdtemp(prefix="kyr-permissions-"))
    os.chmod(directory, 0o755)
    uid = 65534 if os.geteuid() == 0 else None
    try:
        yield directory, uid
    finally:
        os.chmod(directory, 0o755)
        shutil.rmtree(directory)


DENIED = "OSError: Write error: Permission denied (os error 13)"


@pytest.mark.parametrize("directory_mode, file_mode, owner, error", [
    (0o755, 0o444, "saver", DENIED),
    (0o555, 0o444, "saver", DENIED),
    (0o555, 0o644, "saver", None),
    (0o1777, 0o666, "root", None),
], ids=["read-only file", "read-only file and directory", "read-only directory",
        "another user's writable file in a sticky directory"])
def test_save_respects_the_permissions_of_file_and_directory(
        other_user_directory, directory_mode, file_mode, owner, error):
    directory, uid = other_user_directory
    if owner == "root" and uid is None:
        pytest.skip("needs root to give the file to another user")
    target = directory / "state.kyr"
    old = good_file(target)
    if owner == "saver" and uid is not None:
        os.chown(directory, uid, uid)
        os.chown(target, uid, uid)
    os.chmod(target, file_mode)
    before = os.stat(target)
    os.chmod(directory, directory_mode)
    assert run_scenario("save_as_user", uid, str(target)) == {"error": error}
    assert target.read_bytes() == (old if error else kyr.KyrFile(1).to_bytes())
    after = os.stat(target)
    assert (after.st_ino, after.st_uid, after.st_mode) == (before.st_ino, before.st_uid, before.st_mode)
    assert os.listdir(directory) == ["state.kyr"]


def setfacl(*arguments):
    if shutil.which("setfacl") is None:
        pytest.skip("setfacl is not installed (Debian: apt-get install acl)")
    done = subprocess.run(["setfacl", *arguments], capture_output=True, text=True)
    if done.returncode:
        pytest.skip(f"no ACLs here: {done.stderr.strip()}")


def attributes(path):
    """The access ACL and user.* attributes of `path`, and its mode."""
    names = [name for name in os.listxattr(path)
             if name == "system.posix_acl_access" or name.startswith("user.")]
    return {"mode": oct(os.stat(path).st_mode), **{name: os.getxattr(path, name) for name in names}}


@pytest.mark.parametrize("acl", ["g::---,u:4242:rw", "u:4242:r,g:4243:rw,m::r"])
def test_save_keeps_the_acl_and_user_attributes(tmp_path, acl):
    target = tmp_path / "state.kyr"
    good_file(target)
    os.chmod(target, 0o640)
    setfacl("-m", acl, str(target))
    os.setxattr(target, "user.origin", b"lab 7")
    before = attributes(target)
    inode = os.stat(target).st_ino
    kyr.KyrFile(2).save(str(target))
    assert attributes(target) == before
    assert os.stat(target).st_ino != inode  # replaced, not written in place
    assert target.read_bytes() == kyr.KyrFile(2).to_bytes()
    assert os.listdir(tmp_path) == ["state.kyr"]


def test_folder_default_acl_does_not_widen_a_replaced_file(tmp_path):
    # A file made before the folder got a default ACL has none; the file that
    # replaces it must not pick one up, while a new file does, as with open().
    target = tmp_path / "state.kyr"
    good_file(target)
    os.chmod(target, 0o640)
    before = attributes(target)
    setfacl("-d", "-m", "u:4242:rw", str(tmp_path))
    kyr.KyrFile(2).save(str(target))
    assert attributes(target) == before
    kyr.KyrFile(2).save(str(tmp_path / "new.kyr"))
    assert "system.posix_acl_access" in os.listxattr(tmp_path / "new.kyr")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers check some dynamic types through a pipe of their "
                           "own, which cannot be made with no descriptor free")
def test_one_free_descriptor_is_enough_to_save_then_load(tmp_path):
    # 20 qubits: the save and the load both hand work to the worker thread,
    # which closes the replaced file after the save has returned.
    result = run_scenario("one_descriptor_free", str(tmp_path / "state.kyr"), 20, 5)
    assert result == {"failures": []}
    assert os.listdir(tmp_path) == ["state.kyr"]


# ----- targets that are not regular files --------------------------------------

@pytest.mark.parametrize("form", ["/dev/fd/{}", "/proc/self/fd/{}", "/proc/{pid}/fd/{}", "link"])
@pytest.mark.parametrize("kind", ["file", "pipe"])
def test_save_to_a_descriptor_link_writes_into_the_open_file(tmp_path, form, kind):
    output = tmp_path / "output"
    if kind == "pipe":
        read_end, fd = os.pipe()
    else:
        fd = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    path = form.format(fd, pid=os.getpid())
    if form == "link":
        path = str(tmp_path / "link.kyr")
        os.symlink(f"/dev/fd/{fd}", path)
    try:
        kyr.KyrFile(3).save(path)
        if kind == "pipe":
            received = os.read(read_end, 4096)
            os.close(read_end)
        else:
            received = output.read_bytes()
            # Later writes through the descriptor still reach the named file.
            assert os.fstat(fd).st_nlink == 1
            assert os.fstat(fd).st_ino == os.stat(output).st_ino
    finally:
        os.close(fd)
    assert received == kyr.KyrFile(3).to_bytes()
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("path, stdout, mode, link", [
    ("/dev/null", "pipe", "crw-rw-rw-", None),
    ("/dev/stdout", "pipe", "lrwxrwxrwx", "/proc/self/fd/1"),
    ("/dev/stdout", "file", "lrwxrwxrwx", "/proc/self/fd/1"),
])
def test_save_to_a_device_writes_through_it(tmp_path, path, stdout, mode, link):
    output = tmp_path / "stdout"
    result = run_scenario("save_to_device", path, stdout, str(output))
    if "skipped" in result:
        pytest.skip(result["skipped"])
    expected = kyr.KyrFile(3).to_bytes()
    assert bytes.fromhex(result["stdout"]) == (b"" if path == "/dev/null" else expected)
    assert (result["mode"], result["link"]) == (mode, link)
    assert not any(TEMPORARY_NAME.fullmatch(name) for name in result["entries"])
    assert leftovers(tmp_path) == []


# ----- FIFOs, devices and files that misreport their size ----------------------

@pytest.mark.parametrize("operation, endless", [
    ("load", False), ("verify", False), ("load", True), ("verify", True), ("save", False),
])
@pytest.mark.parametrize("alarms", [False, True], ids=["quiet", "alarms every 10 ms"])
def test_fifo_carries_a_14_qubit_state(tmp_path, operation, endless, alarms):
    # 256 KiB: several fills of a 64 KiB pipe, fed or drained slowly so that
    # reads, writes and the open itself are interrupted by the alarms.
    source = tmp_path / "source.kyr"
    data = good_file(source, qubits=14)
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    result = run_scenario("fifo_transfer", operation, str(fifo), str(source), alarms, endless)
    assert result["result"] == {"load": sha256(data), "verify": True, "save": None}[operation]
    if operation == "save":
        assert (tmp_path / "pipe.received").read_bytes() == data
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert (result["alarms"] > 0) == alarms
    # The endless feeder is cut off when the reader is done with the pipe.
    assert result["peer"] == (-signal.SIGPIPE if endless else 0)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_devices_are_refused_after_their_header(device):
    result = run_scenario("read_device", device, timeout=30)
    assert result["load"] == "ValueError: Invalid KYR magic number"
    assert result["verify"] is False
    assert result["seconds"] < 2


def nul_free_state_bytes(qubits):
    """A normalised state file with no NUL byte, so that it can be an
    environment entry: the reserved header bytes hold its '='."""
    rng = random.Random(qubits)
    while True:
        values = [rng.uniform(0.1, 0.4) for _ in range(2**(qubits + 1) - 1)]
        rest = 1 - sum(v * v for v in values)
        if rest > 0.01:
            values.append(math.sqrt(rest))
            data = (b"KYR\x01" + bytes([qubits, 64, 1]) + b"=reserved"
                    + struct.pack(f"<{len(values)}d", *values))
            if b"\0" not in data:
                return data


@pytest.mark.parametrize("header_qubits, error", [
    (2, None),
    (3, "File truncated: expected 144 bytes, got 81"),  # 80 bytes and the final NUL
])
def test_proc_file_is_read_to_its_end_despite_reporting_size_zero(header_qubits, error):
    data = nul_free_state_bytes(2)
    data = data[:4] + bytes([header_qubits]) + data[5:]
    sleeper = subprocess.Popen([shutil.which("sleep"), "60"], env={data[:7]: data[8:]})
    try:
        path = f"/proc/{sleeper.pid}/environ"
        # Popen may return before the new program's environment is in place.
        deadline = time.monotonic() + 10
        while not pathlib.Path(path).read_bytes() and time.monotonic() < deadline:
            time.sleep(0.001)
        assert pathlib.Path(path).read_bytes() == data + b"\0"
        assert os.stat(path).st_size == 0
        if error is None:
            loaded = kyr.load(path)
            assert loaded.amplitudes.tobytes() == data[16:]
            assert loaded.source_path == path
            assert kyr.verify(path) is True
        else:
            with pytest.raises(ValueError) as raised:
                kyr.load(path)
            assert str(raised.value) == error
            assert kyr.verify(path) is False
    finally:
        sleeper.kill()
        sleeper.wait()
