"""The format page's readers (docs/format/) and its hexdump, against files kyr writes."""

import importlib.util
import os
import pathlib
import re
import shutil
import struct
import subprocess

import numpy as np
import pytest

import kyr

FORMAT_DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "format"
NAN_WITH_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]
# The compiler and the reader are not what the sanitizer run checks.
PLAIN_ENV = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}


def numpy_reader():
    spec = importlib.util.spec_from_file_location("read_kyr", FORMAT_DOCS / "read_kyr.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.read_kyr


def write_state(path, pairs, **options):
    kyr.save(kyr.from_numpy(np.asarray(pairs, dtype=np.float64)), str(path), **options)
    return path


def random_pairs(num_qubits, seed=0):
    return np.random.default_rng(seed).standard_normal(2 << num_qubits)


SAVE_OPTIONS = [
    dict(),
    dict(bond_dim=5000, golay=False),  # written as 255
    dict(bond_dim=0),  # written as 0, read as 64
    dict(bond_dim=7, golay=True),
]


# ----- NumPy memmap reader ------------------------------------------------------

@pytest.mark.parametrize("num_qubits", [1, 5, 12])
@pytest.mark.parametrize("options", SAVE_OPTIONS)
def test_numpy_reader_matches_kyr_load_bit_for_bit(tmp_path, num_qubits, options):
    pairs = random_pairs(num_qubits)
    special = [-0.0, np.inf, NAN_WITH_PAYLOAD, -np.inf, 5e-324, np.nan]
    pairs[:len(special)] = special[:len(pairs)]
    path = write_state(tmp_path / "state.kyr", pairs, **options)
    with open(path, "ab") as file:
        file.write(b"trailing bytes are ignored")
    loaded = kyr.load(str(path))

    qubits, bond, golay, amplitudes = numpy_reader()(str(path))
    assert (qubits, bond, golay) == (loaded.num_qubits, loaded.bond_dimension,
                                     loaded.golay_enabled)
    assert isinstance(amplitudes, np.memmap) and not amplitudes.flags.writeable
    assert amplitudes.tobytes() == loaded.amplitudes.tobytes()


@pytest.mark.parametrize("content", [
    b"",
    b"KYR\x01\x01",  # short header
    b"KYR\x02\x01\x40\x01" + bytes(41),  # wrong version
    b"KYR\x01\x00\x40\x01" + bytes(41),  # 0 qubits
    b"KYR\x01\x1f\x40\x01" + bytes(41),  # 31 qubits
    b"KYR\x01\x01\x40\x01" + bytes(40),  # one byte short
])
def test_numpy_reader_refuses_what_kyr_refuses(tmp_path, content):
    path = tmp_path / "bad.kyr"
    path.write_bytes(content)
    with pytest.raises(ValueError):
        kyr.load(str(path))
    with pytest.raises(ValueError):
        numpy_reader()(str(path))


# ----- C reader -----------------------------------------------------------------

@pytest.fixture(scope="module")
def c_reader(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    program = tmp_path_factory.mktemp("c-reader") / "read_kyr"
    # The build line of the format page, with warnings as errors.
    subprocess.run([compiler, "-std=c99", "-O2", "-ffp-contract=off", "-Wall", "-Wextra",
                    "-Wpedantic", "-Werror", "-o", str(program), str(FORMAT_DOCS / "read_kyr.c")],
                   check=True, env=PLAIN_ENV, timeout=120)
    return program


def run_c_reader(program, path):
    return subprocess.run([program, str(path)], capture_output=True, text=True, env=PLAIN_ENV,
                          timeout=60)


@pytest.mark.parametrize("num_qubits", [1, 3, 10])
@pytest.mark.parametrize("options", SAVE_OPTIONS)
def test_c_reader_prints_what_kyr_loads(tmp_path, c_reader, num_qubits, options):
    pairs = random_pairs(num_qubits, seed=num_qubits)
    pairs[:4] = [-0.0, np.inf, -np.inf, 5e-324]
    pairs[4:] /= np.sqrt(np.dot(pairs[4:], pairs[4:]))
    path = write_state(tmp_path / "state.kyr", pairs, **options)
    loaded = kyr.load(str(path))

    result = run_c_reader(c_reader, path)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[:3] == [f"qubits {loaded.num_qubits}", f"bond_dimension {loaded.bond_dimension}",
                         f"golay {int(loaded.golay_enabled)}"]
    printed = np.array([[float(word) for word in line.split()[1:]] for line in lines[3:-1]])
    assert [int(line.split()[0]) for line in lines[3:-1]] == list(range(loaded.dimension))
    assert printed.reshape(-1).tobytes() == loaded.amplitudes.tobytes()


@pytest.mark.parametrize("num_qubits", [1, 8, 14])
def test_c_reader_norm_equals_kyr_bit_for_bit(tmp_path, c_reader, num_qubits):
    path = write_state(tmp_path / "state.kyr", random_pairs(num_qubits, seed=99))
    result = run_c_reader(c_reader, path)
    label, value = result.stdout.splitlines()[-1].split()
    assert label == "norm_squared"
    assert float(value) == kyr.load(str(path)).norm_squared()


@pytest.mark.parametrize("content, complaint", [
    (b"KYR\x02\x01\x40\x01" + bytes(41), "not a .kyr file"),
    (b"KYR\x01\x1f\x40\x01" + bytes(41), "not a .kyr file"),
    (b"KYR\x01", "not a .kyr file"),
    (b"KYR\x01\x01\x40\x01" + bytes(40), "truncated at amplitude 1"),
])
def test_c_reader_refuses_bad_files(tmp_path, c_reader, content, complaint):
    path = tmp_path / "bad.kyr"
    path.write_bytes(content)
    result = run_c_reader(c_reader, path)
    assert result.returncode == 1
    assert result.stderr == f"{path}: {complaint}\n"


def test_c_reader_reports_a_missing_file(tmp_path, c_reader):
    result = run_c_reader(c_reader, tmp_path / "missing.kyr")
    assert result.returncode == 1
    assert result.stderr.startswith(f"{tmp_path / 'missing.kyr'}: ")


# ----- the page's hexdump -------------------------------------------------------

def test_format_page_hexdump_is_what_kyr_writes(tmp_path):
    page = (FORMAT_DOCS / "index.md").read_text()
    dump_lines = re.findall(r"^([0-9a-f]{8})  ([0-9a-f ]+?)  \|", page, flags=re.M)
    shown = bytes.fromhex(" ".join(hex_bytes for _, hex_bytes in dump_lines))
    assert [int(offset, 16) for offset, _ in dump_lines] == [0, 16, 32]

    state = kyr.KyrFile(1)
    state.set_amplitude(0, 0.6, 0.0)
    state.set_amplitude(1, 0.0, 0.8)
    state.save(str(tmp_path / "one.kyr"))
    assert shown == (tmp_path / "one.kyr").read_bytes()
    assert "\n00000030\n" in page  # the end offset: 48 bytes
