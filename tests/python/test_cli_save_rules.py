"""One table of save rules, run against KyrFile.save and against both directions of
`kyr convert`: a .kyr output is saved by KyrFile.save itself, a .npy output by the
command's own writer (kyr_cli/output.py), and all three must keep the same rules."""

import os
import resource
import signal
import subprocess
import sys

import numpy as np
import pytest

import kyr

PAIRS = np.random.default_rng(9).standard_normal(2 << 12)  # 12 qubits, 64 KiB
OLD = b"earlier contents"
MODULE_SAVE = """\
import sys
import numpy as np
import kyr
try:
    kyr.from_numpy(np.load(sys.argv[1]).view(np.float64)).save(sys.argv[2])
except OSError as error:
    sys.exit(f"{error}")
"""

# writer: (suffix of its output, command line from (inputs folder, target))
WRITERS = {
    "KyrFile.save": (".kyr", lambda inputs, target: [sys.executable, "-c", MODULE_SAVE,
                                                     inputs / "in.npy", target]),
    "convert to .kyr": (".kyr", lambda inputs, target: [sys.executable, "-m", "kyr_cli",
                                                        "convert", inputs / "in.npy", target]),
    "convert to .npy": (".npy", lambda inputs, target: [sys.executable, "-m", "kyr_cli",
                                                        "convert", inputs / "in.kyr", target]),
}


@pytest.fixture
def inputs(tmp_path):
    folder = tmp_path / "inputs"
    folder.mkdir()
    kyr.save(kyr.from_numpy(PAIRS), str(folder / "in.kyr"))
    np.save(folder / "in.npy", PAIRS.view(np.complex128))
    return folder


def run_writer(writer, inputs, target, preexec_fn=None):
    command = [str(arg) for arg in WRITERS[writer][1](inputs, target)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120,
                          preexec_fn=preexec_fn)


def holds_the_new_state(path):
    if path.suffix == ".kyr":
        return path.read_bytes() == kyr.from_numpy(PAIRS).to_bytes()
    written = np.load(path)
    return written.dtype == np.complex128 and written.view(np.float64).tobytes() == PAIRS.tobytes()


def output_folder(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


@pytest.mark.parametrize("writer", WRITERS)
def test_a_link_is_followed_and_kept(tmp_path, inputs, writer):
    folder = output_folder(tmp_path)
    suffix = WRITERS[writer][0]
    real, link = folder / f"private{suffix}", folder / f"link{suffix}"
    real.write_bytes(OLD)
    real.chmod(0o600)
    link.symlink_to(real.name)
    result = run_writer(writer, inputs, link)
    assert (result.returncode, result.stderr) == (0, "")
    assert link.is_symlink() and os.readlink(link) == real.name
    assert real.stat().st_mode & 0o7777 == 0o600
    assert holds_the_new_state(real)
    assert sorted(os.listdir(folder)) == sorted([real.name, link.name])


@pytest.mark.parametrize("writer", WRITERS)
def test_mode_and_owner_are_kept(tmp_path, inputs, writer):
    folder = output_folder(tmp_path)
    target = folder / f"shared{WRITERS[writer][0]}"
    target.write_bytes(OLD)
    owner = (4242, 4343) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(target, *owner)
    target.chmod(0o2640)
    result = run_writer(writer, inputs, target)
    assert (result.returncode, result.stderr) == (0, "")
    info = target.stat()
    assert (info.st_mode & 0o7777, (info.st_uid, info.st_gid)) == (0o2640, owner)
    assert holds_the_new_state(target)


@pytest.mark.parametrize("writer", WRITERS)
def test_a_new_file_gets_0666_less_the_umask(tmp_path, inputs, writer):
    target = output_folder(tmp_path) / f"new{WRITERS[writer][0]}"
    result = run_writer(writer, inputs, target, preexec_fn=lambda: os.umask(0o027))
    assert result.returncode == 0
    assert target.stat().st_mode & 0o7777 == 0o640


@pytest.mark.parametrize("writer", WRITERS)
def test_a_file_with_two_links_is_written_in_place(tmp_path, inputs, writer):
    folder = output_folder(tmp_path)
    suffix = WRITERS[writer][0]
    target, other = folder / f"a{suffix}", folder / f"b{suffix}"
    target.write_bytes(OLD)
    os.link(target, other)
    result = run_writer(writer, inputs, target)
    assert result.returncode == 0
    assert target.stat().st_nlink == 2 and os.path.samefile(target, other)
    assert holds_the_new_state(other)


def file_size_limit(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of being killed
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


@pytest.mark.parametrize("through_a_link", [False, True])
@pytest.mark.parametrize("writer", WRITERS)
def test_a_failed_write_keeps_the_old_file_and_leaves_nothing(tmp_path, inputs, writer,
                                                              through_a_link):
    folder = output_folder(tmp_path)
    suffix = WRITERS[writer][0]
    target = real = folder / f"old{suffix}"
    if through_a_link:
        target = folder / f"link{suffix}"
        target.symlink_to(real.name)
    real.write_bytes(OLD)
    real.chmod(0o600)
    before = sorted(os.listdir(folder))
    result = run_writer(writer, inputs, target, preexec_fn=file_size_limit(4096))
    assert result.returncode == 1
    assert "Write error: File too large (os error 27)" in result.stderr
    assert real.read_bytes() == OLD
    assert sorted(os.listdir(folder)) == before


# ----- ACLs and extended attributes ------------------------------------------------

def acl(path):
    return subprocess.run(["getfacl", "--omit-header", "--absolute-names", str(path)],
                          capture_output=True, text=True, check=True).stdout


def with_acl_and_attribute(path):
    """Gives `path` an ACL that narrows the group and a user attribute; skips where
    the file system or the tools cannot."""
    try:
        subprocess.run(["setfacl", "-m", "g::---,u:4242:rw", str(path)], check=True,
                       capture_output=True)
        os.setxattr(path, "user.origin", b"kept")
    except (FileNotFoundError, subprocess.CalledProcessError, OSError) as error:
        pytest.skip(f"no ACLs or user attributes here: {error}")


def module_carries_acls(folder):
    probe = folder / "probe.kyr"
    probe.write_bytes(OLD)
    with_acl_and_attribute(probe)
    before = acl(probe)
    kyr.KyrFile(1).save(str(probe))
    carried = acl(probe) == before
    probe.unlink()
    return carried


@pytest.mark.parametrize("writer", WRITERS)
def test_the_acl_and_user_attributes_are_kept(tmp_path, inputs, writer):
    folder = output_folder(tmp_path)
    if WRITERS[writer][0] == ".kyr" and not module_carries_acls(tmp_path):
        pytest.skip("this build of kyr does not carry ACLs over")
    target = folder / f"narrow{WRITERS[writer][0]}"
    target.write_bytes(OLD)
    target.chmod(0o660)
    with_acl_and_attribute(target)
    before = acl(target)
    result = run_writer(writer, inputs, target)
    assert (result.returncode, result.stderr) == (0, "")
    assert acl(target) == before
    assert "group::---" in before  # access did not widen to the mode's group bits
    assert os.getxattr(target, "user.origin") == b"kept"
    assert holds_the_new_state(target)
