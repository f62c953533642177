"""The kyr command, run as a user runs it: in a child process, on good and bad files."""

import fcntl
import importlib.metadata
import os
import pathlib
import pty
import resource
import shutil
import signal
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest

import kyr

CHUNK = 1 << 20  # amplitudes per chunk in the command's streaming loops
NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]


def run_kyr(*args, cwd=None, preexec_fn=None, prefix=()):
    return subprocess.run([*prefix, sys.executable, "-m", "kyr_cli", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120, preexec_fn=preexec_fn)


def save(path, real, imag=None, **options):
    real = np.asarray(real, dtype=np.float64)
    imag = np.zeros_like(real) if imag is None else np.asarray(imag, dtype=np.float64)
    kyr.save(kyr.from_arrays(real, imag), str(path), **options)
    return path


def bell(path):
    return save(path, np.array([1, 0, 0, 1]) / np.sqrt(2))


def special_values(num_qubits=3):
    """Interleaved float64 values that only a bit-exact copy keeps."""
    values = np.random.default_rng(7).standard_normal(2 << num_qubits)
    values[:8] = [-0.0, np.inf, -np.inf, NAN_WITH_PAYLOAD, 5e-324, -1e308, 0.0, 1.0]
    return values


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


BAD_KYR_FILES = {
    "missing": None,
    "empty": b"",
    "short header": b"KYR\x01\x01",
    "wrong magic": b"KYR\x02\x01\x40\x01\x00" + bytes(40),
    "zero qubits": b"KYR\x01\x00\x40\x01\x00" + bytes(40),
    "31 qubits": b"KYR\x01\x1f\x40\x01\x00" + bytes(40),
    "truncated": b"KYR\x01\x01\x40\x01\x00" + bytes(39),
}


def bad_kyr(tmp_path, kind):
    path = tmp_path / f"{kind.replace(' ', '-')}.kyr"
    if BAD_KYR_FILES[kind] is not None:
        path.write_bytes(BAD_KYR_FILES[kind])
    return path


def load_error(path):
    with pytest.raises((OSError, ValueError)) as raised:
        kyr.load(str(path))
    return str(raised.value)


# ----- the command line itself ------------------------------------------------

def test_console_script_runs_the_command():
    script = pathlib.Path(sys.executable).parent / "kyr"
    result = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    distribution = importlib.metadata.version("kyr")
    assert (result.returncode, result.stdout) == (
        0, f"kyr {distribution} (kyr.version() {kyr.version()})\n")


@pytest.mark.parametrize("command, must_mention", [
    ([], ["info", "verify", "convert", "compare", "exit status", "standard error"]),
    (["info"], ["FILE", "--top", "squared norm", "Golay", "bond dimension", "exit status"]),
    (["verify"], ["FILE", "1e-6", "checksum", "exit status"]),
    (["convert"], ["IN", "OUT", "--dtype", "--no-progress", "float64", "bit for bit",
                   "exit status"]),
    (["compare"], ["fidelity", "exit status"]),
])
def test_help_describes_each_command(command, must_mention):
    result = run_kyr(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: kyr {' '.join(command)}".rstrip())
    for text in must_mention:
        assert text in result.stdout


@pytest.mark.parametrize("args, complaint", [
    ([], "required: COMMAND"),
    (["list"], "invalid choice: 'list'"),
    (["info"], "required: FILE"),
    (["info", "--top", "0", "a.kyr"], "must be at least 1"),
    (["info", "--top", "many", "a.kyr"], "not a whole number"),
    (["compare", "a.kyr"], "required: B"),
    (["convert", "a.kyr", "b.kyr"], "must be a .kyr and a .npy"),
    (["convert", "a.npy", "b.txt"], "must be a .kyr and a .npy"),
    (["convert", "--dtype", "float64", "a.npy", "b.kyr"], "--dtype applies only"),
    (["convert", "--dtype", "float32", "a.kyr", "b.npy"], "invalid choice: 'float32'"),
])
def test_usage_errors_exit_2(tmp_path, args, complaint):
    result = run_kyr(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("usage: kyr")
    assert complaint in result.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("command", ["info", "verify", "compare"])
def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path, command):
    path = bell(tmp_path / "bell.kyr")
    files = [path, path] if command == "compare" else [path] * 50
    child = subprocess.Popen([sys.executable, "-m", "kyr_cli", command, *map(str, files)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()  # like `| head -0`, before the command has printed anything
    assert child.wait(timeout=60) == 1
    assert child.stderr.read() == b""
    child.stderr.close()


# ----- one wording per failure -------------------------------------------------

def without_file_permissions():
    """What runs a command where a 000 file cannot be read: as root, without the
    capabilities that bypass file permissions."""
    if os.geteuid() != 0:
        return ()
    if not shutil.which("setpriv"):
        pytest.skip("setpriv is needed to read as root without the permission override")
    return ("setpriv", "--bounding-set", "-dac_override,-dac_read_search")


def unreadable(tmp_path, kind, suffix=".kyr"):
    """(path, prefix of the command line) for a failure to read of the given kind."""
    if kind == "directory":
        path = tmp_path / f"folder{suffix}"
        path.mkdir()
        return path, ()
    if kind == "permission denied":
        path = bell(tmp_path / f"locked{suffix}")
        path.chmod(0)
        return path, without_file_permissions()
    if kind == "missing":
        return tmp_path / f"missing{suffix}", ()
    return bad_kyr(tmp_path, kind), ()


def module_load_error(path, prefix):
    """kyr.load's message for `path`, run the way the command runs."""
    script = "import kyr, sys\ntry:\n    kyr.load(sys.argv[1])\nexcept Exception as e:\n    print(e)"
    result = subprocess.run([*prefix, sys.executable, "-c", script, str(path)],
                            capture_output=True, text=True, timeout=60)
    return result.stdout.strip()


READ_COMMANDS = {
    "info": lambda bad, good, out: ["info", bad],
    "verify": lambda bad, good, out: ["verify", bad],
    "compare A": lambda bad, good, out: ["compare", bad, good],
    "compare B": lambda bad, good, out: ["compare", good, bad],
    "convert": lambda bad, good, out: ["convert", bad, out / "out.npy"],
}


@pytest.mark.parametrize("command", READ_COMMANDS)
@pytest.mark.parametrize("kind", ["missing", "directory", "permission denied", *BAD_KYR_FILES])
def test_every_command_words_a_failure_as_kyr_load(tmp_path, command, kind):
    good = bell(tmp_path / "good.kyr")
    bad, prefix = unreadable(tmp_path, kind)
    result = run_kyr(*READ_COMMANDS[command](bad, good, tmp_path), prefix=prefix)
    assert result.returncode == 1
    assert result.stderr.endswith(f" {bad}: {module_load_error(bad, prefix)}\n")
    assert result.stderr.count("\n") == 1


@pytest.mark.parametrize("kind", ["missing", "directory", "permission denied"])
def test_convert_words_an_unreadable_npy_as_kyr_load(tmp_path, kind):
    source, prefix = unreadable(tmp_path, kind, ".npy")
    result = run_kyr("convert", source, tmp_path / "out.kyr", prefix=prefix)
    assert result.returncode == 1
    assert result.stderr == f"kyr convert: {source}: {module_load_error(source, prefix)}\n"


NUMPY_FREE = """\
import sys
import kyr_cli

status = kyr_cli.main(sys.argv[1:])
print("numpy" in sys.modules, file=sys.stderr)
sys.exit(status)
"""


@pytest.mark.parametrize("command", [["verify"], ["compare", "{good}"]])
def test_verify_and_compare_start_without_numpy(tmp_path, command):
    good = bell(tmp_path / "good.kyr")
    args = [arg.format(good=good) for arg in command] + [str(good)]
    result = subprocess.run([sys.executable, "-c", NUMPY_FREE, *args], capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "False\n")


# ----- info -------------------------------------------------------------------

def test_info_shows_header_norm_and_most_probable_states(tmp_path):
    real = np.zeros(8)
    real[[1, 2, 4, 6]] = [0.5, 0.5, np.sqrt(0.3), np.sqrt(0.2)]
    path = save(tmp_path / "state.kyr", real, bond_dim=7, golay=False)
    result = run_kyr("info", "--top", "3", path)
    assert (result.returncode, result.stderr) == (0, "")
    norm = kyr.load(str(path)).norm_squared()
    assert result.stdout.splitlines() == [
        str(path),
        "  qubits          3",
        "  file size       144 bytes",
        "  bond dimension  7",
        "  Golay flag      off",
        f"  squared norm    {norm!r}",
        f"  normalised      {'yes' if abs(norm - 1) < 1e-10 else 'no'}",
        "  most probable basis states:",
        f"    |100>  {float(real[4]) ** 2!r}",
        "    |001>  0.25",  # ties in index order
        "    |010>  0.25",
    ]


def test_info_ranks_across_chunks_like_a_full_sort(tmp_path):
    num_qubits = 21  # two chunks
    pairs = np.random.default_rng(3).standard_normal(2 << num_qubits)
    pairs[2 * 5:2 * 5 + 2] = pairs[2 * (CHUNK + 9):2 * (CHUNK + 9) + 2] = [9.0, 0.0]  # a tie
    pairs[2 * (CHUNK + 1)] = np.nan
    path = tmp_path / "wide.kyr"
    kyr.save(kyr.from_numpy(pairs), str(path))
    result = run_kyr("info", "--top", "4", path)
    assert result.returncode == 0
    assert f"  file size       {16 + (16 << num_qubits)} bytes (32.0 MiB)\n" in result.stdout

    probability = pairs[0::2] ** 2 + pairs[1::2] ** 2
    probability[np.isnan(probability)] = -1.0
    expected = np.lexsort((np.arange(len(probability)), -probability))[:4]
    listed = [line.split() for line in result.stdout.splitlines() if line.startswith("    |")]
    assert [int(label.strip("|>"), 2) for label, _ in listed] == list(expected)
    assert [float(p) for _, p in listed] == list(probability[expected])
    assert expected[:2].tolist() == [5, CHUNK + 9]


def test_info_of_a_zero_state_lists_no_basis_state(tmp_path):
    path = save(tmp_path / "zero.kyr", np.zeros(4))
    result = run_kyr("info", path)
    assert result.returncode == 0
    assert "  normalised      no" in result.stdout
    assert "(none: every probability is zero or NaN)" in result.stdout


@pytest.mark.parametrize("kind", BAD_KYR_FILES)
def test_info_reports_unreadable_files_and_goes_on(tmp_path, kind):
    good, bad = bell(tmp_path / "bell.kyr"), bad_kyr(tmp_path, kind)
    result = run_kyr("info", bad, good)
    assert result.returncode == 1
    assert result.stderr == f"kyr info: {bad}: {load_error(bad)}\n"
    assert result.stdout.startswith(f"{good}\n  qubits          2\n")


# ----- verify -----------------------------------------------------------------

def test_verify_prints_one_line_per_file_and_exits_0_when_all_pass(tmp_path):
    paths = [bell(tmp_path / "a.kyr"), save(tmp_path / "b.kyr", [0.6, 0.0], [0.0, 0.8])]
    result = run_kyr("verify", *paths)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "".join(f"{path}: OK\n" for path in paths)


def bad_for_verify(tmp_path, kind):
    if kind in BAD_KYR_FILES:
        return bad_kyr(tmp_path, kind)
    if kind == "directory":
        return tmp_path
    if kind == "unnormalised":
        return save(tmp_path / "double.kyr", [2.0, 0.0])
    return save(tmp_path / "nan.kyr", [np.nan, 1.0])


NORM_FAILURE = ("squared norm not within 1e-6 of 1, or an amplitude is NaN "
                "(kyr info shows the squared norm)")


@pytest.mark.parametrize("kind", ["unnormalised", "nan"])
def test_verify_names_a_norm_failure(tmp_path, kind):
    good, bad = bell(tmp_path / "bell.kyr"), bad_for_verify(tmp_path, kind)
    result = run_kyr("verify", good, bad)
    assert result.returncode == 1
    assert result.stdout == f"{good}: OK\n{bad}: FAILED\n"
    assert result.stderr == f"kyr verify: {bad}: {NORM_FAILURE}\n"


SPYING_VERIFY = """\
import sys
import kyr
import kyr_cli

checked = []
verify = kyr.verify
kyr.verify = lambda path: checked.append(path) or verify(path)
status = kyr_cli.main(sys.argv[1:])
print("checked", checked, "numpy" in sys.modules, file=sys.stderr)
sys.exit(status)
"""


def test_verify_reads_a_file_once_and_needs_no_numpy(tmp_path):
    """A file whose header or length is wrong is refused without kyr.verify, which
    would read all of it; one that fails on its norm is not read again."""
    truncated = bad_kyr(tmp_path, "truncated")
    zero, good = save(tmp_path / "zero.kyr", np.zeros(4)), bell(tmp_path / "bell.kyr")
    result = subprocess.run([sys.executable, "-c", SPYING_VERIFY, "verify", truncated, zero, good],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == f"checked {[str(zero), str(good)]} False"


@pytest.mark.parametrize("contents, verdict, reason", [
    (kyr.KyrFile(2).to_bytes(), "OK", ""),
    (kyr.from_numpy(np.zeros(8)).to_bytes(), "FAILED",
     "failed verification (not a regular file, so not read again to find why)"),
])
def test_verify_of_a_fifo_leaves_the_reading_to_kyr(tmp_path, contents, verdict, reason):
    fifo = tmp_path / "state.fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-m", "kyr_cli", "verify", fifo],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    with open(fifo, "wb") as writer:
        writer.write(contents)
    stdout, stderr = child.communicate(timeout=60)
    assert (child.returncode, stdout) == (int(verdict == "FAILED"), f"{fifo}: {verdict}\n")
    assert stderr == (f"kyr verify: {fifo}: {reason}\n" if reason else "")


# ----- convert ----------------------------------------------------------------

@pytest.mark.parametrize("dtype", ["complex128", "float64"])
def test_convert_kyr_to_npy_copies_every_bit(tmp_path, dtype):
    source = tmp_path / "state.kyr"
    kyr.save(kyr.from_numpy(special_values()), str(source))
    result = run_kyr("convert", "--dtype", dtype, source, tmp_path / "state.npy")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    written = np.load(tmp_path / "state.npy")
    assert written.dtype == np.dtype(dtype) and written.ndim == 1
    assert same_bits(written.view(np.float64), kyr.load(str(source)).amplitudes)


@pytest.mark.parametrize("dtype", ["<c16", ">c16", "<f8", ">f8"])
def test_convert_npy_to_kyr_matches_from_numpy(tmp_path, dtype):
    values = special_values()
    stored = values.view("<c16") if "c" in dtype else values
    np.save(tmp_path / "state.npy", stored.astype(dtype))
    result = run_kyr("convert", tmp_path / "state.npy", tmp_path / "state.kyr")
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "state.kyr").read_bytes() == kyr.from_numpy(values).to_bytes()


def test_convert_round_trip_over_several_chunks(tmp_path):
    pairs = np.random.default_rng(11).standard_normal(2 << 21)
    kyr.save(kyr.from_numpy(pairs), str(tmp_path / "a.kyr"))
    assert run_kyr("convert", tmp_path / "a.kyr", tmp_path / "b.npy").returncode == 0
    assert run_kyr("convert", tmp_path / "b.npy", tmp_path / "c.kyr").returncode == 0
    assert (tmp_path / "c.kyr").read_bytes() == (tmp_path / "a.kyr").read_bytes()


def write_npy(path, kind):
    arrays = {
        "float32": np.zeros(4, np.float32),
        "complex64": np.zeros(4, np.complex64),
        "int64": np.zeros(4, np.int64),
        "2-D": np.zeros((2, 2), complex),
        "odd float64": np.zeros(7),
        "6 amplitudes": np.zeros(6, complex),
        "1 amplitude": np.ones(1, complex),
        "empty": np.zeros(0, complex),
    }
    if kind == "object":
        np.save(path, np.array([1, "a"], dtype=object), allow_pickle=True)
    elif kind == "not npy":
        path.write_bytes(b"just some bytes")
    elif kind != "missing":
        np.save(path, arrays[kind])
    return path


@pytest.mark.parametrize("kind, reason", [
    ("float32", "dtype float32 is neither complex128 nor float64"),
    ("complex64", "dtype complex64 is neither complex128 nor float64"),
    ("int64", "dtype int64 is neither complex128 nor float64"),
    ("2-D", "expected a one-dimensional array, got shape (2, 2)"),
    ("odd float64", "float64 length 7 is odd: expected interleaved (re, im) pairs"),
    ("6 amplitudes", "6 amplitudes: a .kyr file holds 2^n of them, n from 1 to 30"),
    ("1 amplitude", "1 amplitudes: a .kyr file holds 2^n of them, n from 1 to 30"),
    ("empty", "0 amplitudes: a .kyr file holds 2^n of them, n from 1 to 30"),
    ("object", "not a readable .npy file ("),
    ("not npy", "not a readable .npy file ("),
    ("missing", "Read error: No such file or directory (os error 2)"),
])
def test_convert_refuses_bad_npy_and_keeps_the_old_output(tmp_path, kind, reason):
    source = write_npy(tmp_path / "in.npy", kind)
    target = tmp_path / "out.kyr"
    target.write_bytes(b"earlier output")
    before = sorted(os.listdir(tmp_path))
    result = run_kyr("convert", source, target)
    assert result.returncode == 1
    assert result.stderr.startswith(f"kyr convert: {source}: {reason}")
    assert target.read_bytes() == b"earlier output"
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("kind", BAD_KYR_FILES)
def test_convert_reports_bad_kyr_input_as_load_does(tmp_path, kind):
    source = bad_kyr(tmp_path, kind)
    result = run_kyr("convert", source, tmp_path / "out.npy")
    assert result.returncode == 1
    assert result.stderr == f"kyr convert: {source}: {load_error(source)}\n"
    assert not (tmp_path / "out.npy").exists()


def test_a_file_that_ends_while_being_streamed_is_reported(tmp_path):
    from kyr_cli.errors import FileError
    from kyr_cli.streaming import read_values

    path = tmp_path / "shrunk.kyr"
    path.write_bytes(bytes(16 + 16 * 3))
    with pytest.raises(FileError, match=r"shrunk.kyr: ended after 3 of 4 values"):
        list(read_values(str(path), 16, "<c16", 4))


def save_error(path):
    with pytest.raises(OSError) as raised:
        kyr.KyrFile(1).save(str(path))
    return str(raised.value)


@pytest.mark.parametrize("where", ["missing folder", "directory"])
@pytest.mark.parametrize("source_name, suffix", [("bell.kyr", ".npy"), ("bell.npy", ".kyr")])
def test_convert_words_an_unwritable_output_as_save_does(tmp_path, where, source_name, suffix):
    bell(tmp_path / "bell.kyr")
    np.save(tmp_path / "bell.npy", np.array([1, 0, 0, 1], complex) / np.sqrt(2))
    if where == "missing folder":
        target = tmp_path / "no-such-dir" / f"out{suffix}"
    else:
        target = tmp_path / f"out{suffix}"
        target.mkdir()
    before = sorted(os.listdir(tmp_path))
    result = run_kyr("convert", tmp_path / source_name, target)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"kyr convert: {target}: {save_error(target)}\n"
    assert sorted(os.listdir(tmp_path)) == before


def file_size_limit(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of being killed
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def limited_save_error(folder, limit):
    """The message of KyrFile.save over the file-size limit `limit`, from a child process."""
    script = ("import kyr\ntry:\n    kyr.KyrFile(12).save('limited.kyr')\n"
              "except OSError as error:\n    print(error)")
    result = subprocess.run([sys.executable, "-c", script], cwd=folder, capture_output=True,
                            text=True, timeout=60, preexec_fn=file_size_limit(limit))
    (folder / "limited.kyr").unlink(missing_ok=True)
    return result.stdout.strip()


@pytest.mark.parametrize("source_name, target_name", [("big.kyr", "out.npy"),
                                                      ("big.npy", "out.kyr")])
def test_a_failed_write_is_worded_as_save_words_it(tmp_path, source_name, target_name):
    """What a failed write keeps is in test_cli_save_rules.py; this is its wording."""
    pairs = np.random.default_rng(5).standard_normal(2 << 12)
    kyr.save(kyr.from_numpy(pairs), str(tmp_path / "big.kyr"))
    np.save(tmp_path / "big.npy", pairs.view(np.complex128))
    target = tmp_path / target_name
    target.write_bytes(b"earlier output")
    result = run_kyr("convert", tmp_path / source_name, target,
                     preexec_fn=file_size_limit(4096))
    assert result.returncode == 1
    assert result.stderr == f"kyr convert: {target}: {limited_save_error(tmp_path, 4096)}\n"
    assert target.read_bytes() == b"earlier output"


INTERRUPTED_CONVERT = """\
import sys
import kyr_cli.convert

def interrupt(chunks, file):
    file.write(b"part of the output")
    raise KeyboardInterrupt

kyr_cli.convert.copy_chunks = interrupt
sys.exit(kyr_cli.main(sys.argv[1:]))
"""


def test_an_interrupted_conversion_keeps_the_old_output(tmp_path):
    source, target = bell(tmp_path / "bell.kyr"), tmp_path / "out.npy"
    target.write_bytes(b"earlier output")
    result = subprocess.run([sys.executable, "-c", INTERRUPTED_CONVERT, "convert", source, target],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (130, "kyr: interrupted\n")
    assert target.read_bytes() == b"earlier output"
    assert sorted(os.listdir(tmp_path)) == ["bell.kyr", "out.npy"]


# ----- progress bar -----------------------------------------------------------

def kyr_with(settings):
    """A command line that runs the command after the assignments in `settings`."""
    return [sys.executable, "-c",
            f"import sys, kyr_cli, kyr_cli.progress as progress; {settings}; "
            "sys.exit(kyr_cli.main())"]


def stderr_on_a_terminal(command):
    """Runs `command` with its standard error on a pseudo-terminal; returns (status, text)."""
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=terminal)
    os.close(terminal)
    output = b""
    while True:
        try:
            data = os.read(controller, 65536)
        except OSError:  # EIO: the child has closed the terminal
            break
        if not data:
            break
        output += data
    os.close(controller)
    return child.wait(timeout=60), output.decode()


def progress_commands(tmp_path):
    state = bell(tmp_path / "bell.kyr")
    np.save(tmp_path / "bell.npy", np.array([1, 0, 0, 1], complex) / np.sqrt(2))
    return {
        "verify": ["verify", state],
        "info": ["info", state],
        "compare": ["compare", state, state],
        "convert to .npy": ["convert", state, tmp_path / "out.npy"],
        "convert to .kyr": ["convert", tmp_path / "bell.npy", tmp_path / "out.kyr"],
    }


@pytest.mark.parametrize("command", ["verify", "info", "compare", "convert to .npy",
                                     "convert to .kyr"])
def test_progress_shows_on_a_terminal_only_for_long_work(tmp_path, command):
    args = progress_commands(tmp_path)[command]
    status, shown = stderr_on_a_terminal(kyr_with("progress.DELAY = 0") + list(map(str, args)))
    assert status == 0
    assert shown.startswith(f"\r{args[0]} ") and f"{args[1].name} [" in shown
    assert shown.endswith("] 100%\r\x1b[K")  # drawn full, then erased
    # Work shorter than the usual delay, --no-progress, or a pipe: nothing.
    assert stderr_on_a_terminal(kyr_with("pass") + list(map(str, args))) == (0, "")
    no_bar = kyr_with("progress.DELAY = 0") + [args[0], "--no-progress", *map(str, args[1:])]
    assert stderr_on_a_terminal(no_bar) == (0, "")
    piped = subprocess.run(kyr_with("progress.DELAY = 0") + list(map(str, args)),
                           capture_output=True, text=True, timeout=60)
    assert (piped.returncode, piped.stderr) == (0, "")


def test_the_command_runs_off_the_main_thread_without_a_bar(tmp_path):
    state = bell(tmp_path / "bell.kyr")
    command = [sys.executable, "-c",
               "import sys, threading, kyr_cli, kyr_cli.progress as progress\n"
               "progress.DELAY = 0\n"
               "statuses = []\n"
               "worker = threading.Thread(target=lambda: statuses.append(kyr_cli.main()))\n"
               "worker.start(); worker.join(); sys.exit(statuses[0])",
               "verify", str(state)]
    assert stderr_on_a_terminal(command) == (0, "")


@pytest.mark.parametrize("direction", ["to .kyr", "to .npy"])
def test_redraws_during_long_calls_into_kyr_change_nothing(tmp_path, direction):
    """The bar is drawn from a timer signal, which interrupts kyr's reads and writes."""
    pairs = np.random.default_rng(2).standard_normal(2 << 20)
    pairs /= np.sqrt(pairs @ pairs)
    kyr.save(kyr.from_numpy(pairs), str(tmp_path / "a.kyr"))
    np.save(tmp_path / "a.npy", pairs.view(np.complex128))
    source, target = ((tmp_path / "a.npy", tmp_path / "b.kyr") if direction == "to .kyr"
                      else (tmp_path / "a.kyr", tmp_path / "b.npy"))
    status, shown = stderr_on_a_terminal(
        kyr_with("progress.DELAY = 0; progress.INTERVAL = 0.0005")
        + ["convert", str(source), str(target)])
    assert status == 0 and shown.endswith("] 100%\r\x1b[K")
    if direction == "to .kyr":
        assert target.read_bytes() == (tmp_path / "a.kyr").read_bytes()
    else:
        assert same_bits(np.load(target).view(np.float64), pairs)
    for command in (["verify"], ["info"], ["compare", str(tmp_path / "a.kyr")]):
        status, shown = stderr_on_a_terminal(kyr_with("progress.DELAY = 0; progress.INTERVAL = 0.0005")
                                             + [*command, str(tmp_path / "a.kyr")])
        assert (status, shown[-8:]) == (0, "100%\r\x1b[K")


# ----- compare ----------------------------------------------------------------

def test_compare_prints_the_fidelity_kyr_computes(tmp_path):
    first = bell(tmp_path / "a.kyr")
    second = save(tmp_path / "b.kyr", [0.6, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.8])
    result = run_kyr("compare", first, second)
    expected = kyr.load(str(first)).fidelity(kyr.load(str(second)))
    assert (result.returncode, result.stdout, result.stderr) == (0, f"{expected!r}\n", "")


@pytest.mark.parametrize("make_second, reason", [
    (lambda tmp: save(tmp / "one.kyr", [1.0, 0.0]), "1 qubits, but {first} has 2"),
    (lambda tmp: tmp / "missing.kyr", "Read error: No such file or directory"),
    (lambda tmp: bad_kyr(tmp, "wrong magic"), "Invalid KYR magic number"),
])
def test_compare_fails_on_unreadable_or_mismatched_files(tmp_path, make_second, reason):
    first, second = bell(tmp_path / "a.kyr"), make_second(tmp_path)
    result = run_kyr("compare", first, second)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith(f"kyr compare: {second}: {reason.format(first=first)}")
