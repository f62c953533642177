import os
import pathlib
import struct

import pytest

import kyr
from kyr import KyrFile

FRESH_ONE_QUBIT = (bytes.fromhex("4b59520101400100") + bytes(8)
                   + struct.pack("<d", 1.0) + bytes(24))


def header(qubits=1, bond=64, golay=1, magic=b"KYR\x01"):
    return magic + bytes([qubits, bond, golay, 0]) + bytes(8)


def write(path, data):
    path.write_bytes(data)
    return str(path)


# ----- load ----------------------------------------------------------------

def test_load_restores_state_and_records_the_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    state = KyrFile(3)
    state.set_amplitude(5, -0.0, float("inf"))
    state.bond_dimension = 7
    state.golay_enabled = False
    state.set_metadata("lost", "on save")
    state.save("relative.kyr")
    assert state.source_path == "relative.kyr"

    loaded = kyr.load("relative.kyr")
    assert loaded.source_path == "relative.kyr"
    assert loaded.to_bytes() == state.to_bytes()
    assert (loaded.bond_dimension, loaded.golay_enabled, loaded.metadata_dict()) == (7, False, {})
    absolute = str(tmp_path / "relative.kyr")
    assert kyr.load(path=absolute).source_path == absolute


@pytest.mark.parametrize("content, message", [
    (b"", "File too small"),
    (FRESH_ONE_QUBIT[:15], "File too small"),
    (b"KYR\x02" + FRESH_ONE_QUBIT[4:], "Invalid KYR magic number"),
    (header(qubits=0) + bytes(32), "Invalid num_qubits: 0"),
    (header(qubits=31), "Invalid num_qubits: 31"),
    (header(), "File truncated: expected 48 bytes, got 16"),
    (FRESH_ONE_QUBIT[:47], "File truncated: expected 48 bytes, got 47"),
])
def test_load_reports_malformed_files(tmp_path, content, message):
    with pytest.raises(ValueError) as raised:
        kyr.load(write(tmp_path / "bad.kyr", content))
    assert str(raised.value) == message


def test_load_ignores_trailing_and_reserved_bytes(tmp_path):
    data = bytearray(FRESH_ONE_QUBIT + b"tail")
    data[7:16] = b"\xff" * 9
    data[5], data[6] = 0, 2
    loaded = kyr.load(write(tmp_path / "odd.kyr", bytes(data)))
    assert (loaded.bond_dimension, loaded.golay_enabled) == (64, True)
    assert loaded.to_bytes() == FRESH_ONE_QUBIT


@pytest.mark.parametrize("make_path", [
    lambda tmp: tmp / "missing.kyr",
    lambda tmp: tmp / "no-such-dir" / "a.kyr",
])
def test_load_os_errors_are_plain_oserror(tmp_path, make_path):
    with pytest.raises(OSError) as raised:
        kyr.load(str(make_path(tmp_path)))
    error = raised.value
    assert type(error) is OSError
    assert (error.errno, error.strerror) == (None, None)
    assert str(error).startswith("Read error: ")
    assert str(error).endswith(" (os error 2)")


def test_load_of_a_directory_is_an_os_error(tmp_path):
    with pytest.raises(OSError) as raised:
        kyr.load(str(tmp_path))
    assert str(raised.value).startswith("Read error: ")
    assert str(raised.value).endswith(" (os error 21)")


@pytest.mark.parametrize("function, prefix", [
    (lambda p: kyr.load(p), "Read error: "),
    (lambda p: KyrFile().save(p), "Write error: "),
    (lambda p: kyr.save(KyrFile(), p), "Write error: "),
])
def test_paths_with_nul_are_refused(tmp_path, function, prefix):
    target = tmp_path / "a.kyr"
    target.write_bytes(FRESH_ONE_QUBIT)
    with pytest.raises(OSError) as raised:
        function(str(target) + "\0ignored")
    assert type(raised.value) is OSError
    assert str(raised.value).startswith(prefix)
    assert "NUL" in str(raised.value)
    assert target.read_bytes() == FRESH_ONE_QUBIT
    assert kyr.verify(str(target) + "\0") is False


@pytest.mark.parametrize("function", [kyr.load, kyr.verify, KyrFile().save])
@pytest.mark.parametrize("path, type_name", [
    (pathlib.Path("a.kyr"), "PosixPath"), (b"a.kyr", "bytes"), (None, "NoneType"),
])
def test_path_must_be_str(function, path, type_name):
    with pytest.raises(TypeError) as raised:
        function(path)
    assert str(raised.value) == (
        f"argument 'path': '{type_name}' object cannot be converted to 'PyString'")


def test_path_with_lone_surrogate_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        kyr.load("\udcff.kyr")


@pytest.mark.parametrize("call, message", [
    (lambda: kyr.load(), "load() missing 1 required positional argument: 'path'"),
    (lambda: kyr.load("a", "b"), "load() takes 1 positional arguments but 2 were given"),
    (lambda: kyr.verify("a", "b"), "verify() takes 1 positional arguments but 2 were given"),
    (lambda: kyr.save(), "save() missing 2 required positional arguments: 'state' and 'path'"),
    (lambda: kyr.save(KyrFile(), "p", 1, True, 5), "save() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: kyr.save(KyrFile(), "p", golay=True, colour=1), "save() got an unexpected keyword argument 'colour'"),
    (lambda: kyr.save("p", state=KyrFile()), "save() got multiple values for argument 'state'"),
    (lambda: kyr.save("s", "p"), "argument 'state': 'str' object cannot be converted to 'KyrFile'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


# ----- save ----------------------------------------------------------------

def test_fresh_state_encodes_to_the_documented_bytes(tmp_path):
    assert KyrFile(1).to_bytes() == FRESH_ONE_QUBIT
    path = str(tmp_path / "fresh.kyr")
    assert KyrFile(1).save(path) is None
    assert pathlib.Path(path).read_bytes() == FRESH_ONE_QUBIT


def test_module_save_applies_defaults(tmp_path):
    state = KyrFile(2)
    state.bond_dimension = 16
    state.golay_enabled = False
    path = str(tmp_path / "a.kyr")
    assert kyr.save(state, path) is None
    assert (state.bond_dimension, state.golay_enabled, state.source_path) == (64, True, path)
    assert pathlib.Path(path).read_bytes()[5:7] == bytes([64, 1])


@pytest.mark.parametrize("bond, stored, byte, reloaded", [
    (0, 0, 0, 64), (5000, 5000, 255, 255), (255, 255, 255, 255), (1, 1, 1, 1), (True, 1, 1, 1),
])
def test_module_save_stores_bond_dim_without_range_check(tmp_path, bond, stored, byte, reloaded):
    state = KyrFile(1)
    path = str(tmp_path / "a.kyr")
    kyr.save(state, path, bond_dim=bond, golay=False)
    assert (state.bond_dimension, state.golay_enabled) == (stored, False)
    data = pathlib.Path(path).read_bytes()
    assert (data[5], data[6]) == (byte, 0)
    assert kyr.load(path).bond_dimension == reloaded


def test_module_save_accepts_numpy_bool(tmp_path):
    np = pytest.importorskip("numpy")
    state = KyrFile(1)
    kyr.save(state, str(tmp_path / "a.kyr"), golay=np.False_)
    assert state.golay_enabled is False


@pytest.mark.parametrize("keywords, error, message", [
    ({"bond_dim": -1}, OverflowError, None),
    ({"bond_dim": 2**64}, OverflowError, None),
    ({"bond_dim": 1.5}, TypeError, "argument 'bond_dim': 'float' object cannot be interpreted as an integer"),
    ({"golay": 1}, TypeError, "argument 'golay': 'int' object cannot be converted to 'PyBool'"),
    ({"golay": None}, TypeError, "argument 'golay': 'NoneType' object cannot be converted to 'PyBool'"),
])
def test_module_save_conversion_errors_change_nothing(tmp_path, keywords, error, message):
    state = KyrFile(1)
    state.bond_dimension = 16
    path = tmp_path / "a.kyr"
    with pytest.raises(error) as raised:
        kyr.save(state, str(path), **keywords)
    if message is not None:
        assert str(raised.value) == message
    assert (state.bond_dimension, state.golay_enabled, state.source_path) == (16, True, None)
    assert not path.exists()


def test_module_save_keeps_settings_when_the_write_fails(tmp_path):
    state = KyrFile(1)
    kept = str(tmp_path / "first.kyr")
    state.save(kept)
    with pytest.raises(OSError) as raised:
        kyr.save(state, str(tmp_path / "missing" / "a.kyr"), bond_dim=9, golay=False)
    assert type(raised.value) is OSError
    assert str(raised.value).startswith("Write error: ")
    assert (state.bond_dimension, state.golay_enabled, state.source_path) == (9, False, kept)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_save_reports_a_full_device():
    state = KyrFile(1)
    with pytest.raises(OSError) as raised:
        state.save("/dev/full")
    assert str(raised.value).startswith("Write error: ")
    assert str(raised.value).endswith(" (os error 28)")
    assert state.source_path is None


def test_save_over_a_longer_file_leaves_only_the_new_bytes(tmp_path):
    path = tmp_path / "a.kyr"
    KyrFile(4).save(str(path))
    KyrFile(1).save(str(path))
    assert path.read_bytes() == FRESH_ONE_QUBIT


def test_save_borrows_the_state_exclusively(tmp_path):
    state = KyrFile(1)

    class Reader:
        def __index__(self):
            state.norm_squared()
            return 8

    with pytest.raises(RuntimeError) as raised:
        kyr.save(state, str(tmp_path / "a.kyr"), bond_dim=Reader())
    assert str(raised.value) == "Already mutably borrowed"
    assert state.bond_dimension == 64


# ----- verify and version --------------------------------------------------

def amplitudes_file(tmp_path, *values):
    return write(tmp_path / "v.kyr", header() + struct.pack("<4d", *values))


@pytest.mark.parametrize("values, expected", [
    ((1.0, 0.0, 0.0, 0.0), True),
    ((0.0, 0.0, 0.0, 0.0), False),
    ((float("nan"), 0.0, 0.0, 0.0), False),
    (((1 + 5e-7) ** 0.5, 0.0, 0.0, 0.0), True),
    (((1 + 2e-6) ** 0.5, 0.0, 0.0, 0.0), False),
    ((0.6, 0.0, 0.0, 0.8), True),
])
def test_verify_checks_the_norm(tmp_path, values, expected):
    assert kyr.verify(amplitudes_file(tmp_path, *values)) is expected


@pytest.mark.parametrize("content", [b"", FRESH_ONE_QUBIT[:47], b"XYZ\x01" + FRESH_ONE_QUBIT[4:]])
def test_verify_is_false_for_unreadable_files(tmp_path, content):
    assert kyr.verify(write(tmp_path / "bad.kyr", content)) is False
    assert kyr.verify(str(tmp_path / "missing.kyr")) is False
    assert kyr.verify(str(tmp_path)) is False


def test_verify_a_saved_fresh_state(tmp_path):
    path = str(tmp_path / "fresh.kyr")
    KyrFile(5).save(path)
    assert kyr.verify(path=path) is True


def test_version():
    assert kyr.version() == "1.0.0"
    with pytest.raises(TypeError):
        kyr.version(1)


DOCS = {
    "load": ("(path)", "Load a KYR file from disk.\n\nParameters\n----------\npath : str\n    Path to .kyr file\n\nReturns\n-------\nKyrFile\n    Loaded quantum state\n\nRaises\n------\nIOError\n    If file cannot be read\nValueError\n    If file is not a valid .kyr file"),
    "save": ("(state, path, bond_dim=64, golay=True)", "Save a quantum state to a KYR file.\n\nParameters\n----------\nstate : KyrFile\n    Quantum state to save\npath : str\n    Output file path\nbond_dim : int, optional\n    MPS bond dimension (default: 64)\ngolay : bool, optional\n    Enable Golay error correction (default: True)"),
    "verify": ("(path)", "Verify a KYR file's integrity.\n\nParameters\n----------\npath : str\n    Path to .kyr file\n\nReturns\n-------\nbool\n    True if file is valid"),
    "version": ("()", "Get library version."),
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings(name):
    signature, doc = DOCS[name]
    assert getattr(kyr, name).__text_signature__ == signature
    assert getattr(kyr, name).__doc__ == doc


@pytest.mark.parametrize("name, signature, doc", [
    ("save", "($self, path)", "Save the KYR file to disk."),
    ("to_bytes", "($self)", "Serialize to bytes."),
])
def test_method_docstrings(name, signature, doc):
    assert getattr(KyrFile, name).__text_signature__ == signature
    assert getattr(KyrFile, name).__doc__ == doc


def test_zero_qubit_state_saves_but_does_not_load(tmp_path):
    np = pytest.importorskip("numpy")
    state = kyr.from_numpy(np.array([0.6, 0.8]))
    data = state.to_bytes()
    assert data == header(qubits=0) + struct.pack("<2d", 0.6, 0.8)
    path = str(tmp_path / "zero.kyr")
    state.save(path)
    with pytest.raises(ValueError) as raised:
        kyr.load(path)
    assert str(raised.value) == "Invalid num_qubits: 0"
    assert kyr.verify(path) is False
