"""Every entry point of the module, on its success and its error paths, called
10^4 times while malloc's own count of native allocations is watched, then
10^4 times under tracemalloc: the memory it keeps and the reference counts of
its arguments stay flat."""
import ctypes
import operator
import os
import pathlib
import shutil
import sys
import tempfile
import tracemalloc

import numpy as np
import pytest

import kyr
from kyr import Encoding, KyrFile, StreamingConverter

CALLS = 10_000
# A leak of one small object or allocation per call keeps at least 160 KiB.
ALLOWED_GROWTH = 64 * 1024


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def native_bytes_in_use():
    """Bytes malloc has handed out and not had back; 0 without glibc's
    mallinfo2 (and flat when a sanitizer replaces malloc)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return 0
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def entry_points(directory):
    """(function, positional arguments, keyword arguments, expected error) by
    name, with the files they need in `directory`."""
    good, malformed = str(directory / "good.kyr"), str(directory / "malformed.kyr")
    missing, nowhere = str(directory / "missing.kyr"), str(directory / "no" / "a.kyr")
    target = str(directory / "target.kyr")
    state, zero, other = KyrFile(2), KyrFile(2), KyrFile(3)
    zero.set_amplitude(0, 0.0, 0.0)
    real, imag = np.full(4, 0.5), np.zeros(4)
    interleaved = np.array([0.6, 0.0, 0.0, 0.8])
    converter = StreamingConverter(64, 16)
    cases = {
        "load": (kyr.load, (good,), {}, None),
        "load missing": (kyr.load, (missing,), {}, OSError),
        "load malformed": (kyr.load, (malformed,), {}, ValueError),
        "load bytes path": (kyr.load, (good.encode(),), {}, TypeError),
        "verify": (kyr.verify, (good,), {}, None),
        "verify missing": (kyr.verify, (missing,), {}, None),
        "verify malformed": (kyr.verify, (malformed,), {}, None),
        "save": (kyr.save, (state, target), {"bond_dim": 8, "golay": False}, None),
        "save nowhere": (kyr.save, (state, nowhere), {}, OSError),
        "save bad bond": (kyr.save, (state, target), {"bond_dim": -1}, OverflowError),
        "save missing argument": (kyr.save, (state,), {}, TypeError),
        "KyrFile.save": (KyrFile.save, (state, target), {}, None),
        "KyrFile.save nowhere": (KyrFile.save, (state, nowhere), {}, OSError),
        "KyrFile": (KyrFile, (3,), {}, None),
        "KyrFile 31 qubits": (KyrFile, (31,), {}, ValueError),
        "to_bytes": (KyrFile.to_bytes, (state,), {}, None),
        "get_amplitude": (KyrFile.get_amplitude, (state, 1), {}, None),
        "get_amplitude out of range": (KyrFile.get_amplitude, (state, 99), {}, ValueError),
        "set_amplitude": (KyrFile.set_amplitude, (state, 1, 0.0, 0.0), {}, None),
        "set_amplitude out of range": (KyrFile.set_amplitude, (state, 9, 0.0, 0.0), {}, ValueError),
        "set_amplitudes": (KyrFile.set_amplitudes, (state, real, imag), {}, None),
        "set_amplitudes short": (KyrFile.set_amplitudes, (state, real[:3], imag[:3]), {}, ValueError),
        "is_normalized": (KyrFile.is_normalized, (state,), {"tolerance": 1e-3}, None),
        "is_normalized bad tolerance": (KyrFile.is_normalized, (state, "x"), {}, TypeError),
        "normalize": (KyrFile.normalize, (state,), {}, None),
        "normalize zero": (KyrFile.normalize, (zero,), {}, ValueError),
        "norm_squared": (KyrFile.norm_squared, (state,), {}, None),
        "fidelity": (KyrFile.fidelity, (state, state), {}, None),
        "fidelity mismatch": (KyrFile.fidelity, (state, other), {}, ValueError),
        "set_metadata": (KyrFile.set_metadata, (state, "key", "value"), {}, None),
        "set_metadata bad key": (KyrFile.set_metadata, (state, 1, "value"), {}, TypeError),
        "get_metadata": (KyrFile.get_metadata, (state, "key"), {}, None),
        "get_metadata missing": (KyrFile.get_metadata, (state, "other"), {}, None),
        "metadata_dict": (KyrFile.metadata_dict, (state,), {}, None),
        "repr": (repr, (state,), {}, None),
        "str": (str, (state,), {}, None),
        "set bond_dimension": (setattr, (state, "bond_dimension", 8), {}, None),
        "set bond_dimension negative": (setattr, (state, "bond_dimension", -1), {}, OverflowError),
        "set golay_enabled": (setattr, (state, "golay_enabled", False), {}, None),
        "set golay_enabled int": (setattr, (state, "golay_enabled", 1), {}, TypeError),
        "from_numpy": (kyr.from_numpy, (interleaved,), {}, None),
        "from_numpy odd": (kyr.from_numpy, (interleaved[:3],), {}, ValueError),
        "from_arrays": (kyr.from_arrays, (real, imag), {}, None),
        "from_arrays mismatch": (kyr.from_arrays, (real, imag[:2]), {}, ValueError),
        "to_qiskit wrong type": (kyr.to_qiskit, (good,), {}, TypeError),
        "from_qiskit no data": (kyr.from_qiskit, (good,), {}, AttributeError),
        "StreamingConverter": (StreamingConverter, (64, 16), {"encoding": Encoding.Angle}, None),
        "StreamingConverter negative": (StreamingConverter, (-1,), {}, OverflowError),
        "process_chunk": (StreamingConverter.process_chunk, (converter, b"\x01" * 16), {}, None),
        "process_chunk str": (StreamingConverter.process_chunk, (converter, "x"), {}, TypeError),
        "Encoding repr": (repr, (Encoding.Block,), {}, None),
        "Encoding ==": (operator.eq, (Encoding.Angle, Encoding.Qram), {}, None),
        "version": (kyr.version, (), {}, None),
    }
    for name in ("num_qubits", "dimension", "bond_dimension", "golay_enabled", "source_path",
                 "amplitudes", "amplitudes_real", "amplitudes_imag"):
        cases[f"get {name}"] = (getattr, (state, name), {}, None)
    for name in ("progress", "is_complete", "chunk_size"):
        cases[f"get converter {name}"] = (getattr, (converter, name), {}, None)
    return cases


def qiskit_entry_points():
    quantum_info = pytest.importorskip("qiskit.quantum_info")
    statevector = quantum_info.Statevector([0.6, 0.0, 0.0, 0.8j])
    return {"from_qiskit": (kyr.from_qiskit, (statevector,), {}, None),
            "to_qiskit": (kyr.to_qiskit, (KyrFile(2),), {}, None)}


@pytest.fixture(scope="module")
def prepared_entry_points(tmp_path_factory):
    # In memory where possible: on ext4 every save replacing a file waits for
    # the disk, and the subject here is memory, not disks.
    shared_memory = pathlib.Path("/dev/shm")
    if shared_memory.is_dir() and os.access(shared_memory, os.W_OK):
        directory = pathlib.Path(tempfile.mkdtemp(dir=shared_memory))
    else:
        directory = tmp_path_factory.mktemp("leaks")
    KyrFile(2).save(str(directory / "good.kyr"))
    (directory / "malformed.kyr").write_bytes(b"KYR\x02" + bytes(60))
    yield entry_points(directory)
    shutil.rmtree(directory)


def call_repeatedly(function, args, kwargs, error, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except error or ():
            pass


def growth(measure, function, args, kwargs, error):
    # Warming up in the same conditions as the measure matters: once traced,
    # a cache that replaces its entries looks like it grows until every entry
    # has been replaced once.
    call_repeatedly(function, args, kwargs, error, CALLS // 10)
    before = measure()
    call_repeatedly(function, args, kwargs, error, CALLS)
    return measure() - before


def python_bytes_traced():
    return tracemalloc.get_traced_memory()[0]


def check_flat(function, args, kwargs, error):
    if error is None:
        function(*args, **kwargs)
    else:
        with pytest.raises(error):
            function(*args, **kwargs)
    # Before Python 3.12 small ints, bools, None and interned strings (names,
    # which the compiler interns) are shared and mortal, so unrelated code
    # moves their counts.
    watched = [item for item in (*args, *kwargs.values())
               if not (item is None or type(item) is bool
                       or (type(item) is int and -5 <= item <= 256)
                       or (type(item) is str and item.isidentifier()))]
    references = [sys.getrefcount(item) for item in watched]
    # Separately: tracemalloc's own tables are native allocations.
    assert growth(native_bytes_in_use, function, args, kwargs, error) < ALLOWED_GROWTH
    tracemalloc.start()
    try:
        assert growth(python_bytes_traced, function, args, kwargs, error) < ALLOWED_GROWTH
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(item) for item in watched] == references


@pytest.mark.parametrize("name", list(entry_points(pathlib.Path("unused"))))
def test_entry_point_keeps_no_memory_or_references(prepared_entry_points, name):
    check_flat(*prepared_entry_points[name])


@pytest.mark.parametrize("name", ["from_qiskit", "to_qiskit"])
def test_qiskit_entry_point_keeps_no_memory_or_references(name):
    check_flat(*qiskit_entry_points()[name])
