"""The same states give the same files and the same arithmetic bits on two
processor architectures: this interpreter's and the one named by
KYR_FOREIGN_PYTHON (an aarch64 interpreter run under emulation by
scripts/test_arm_wheels.sh). Without it the module is skipped.

The one allowance: a NaN that an invalid operation creates (inf - inf,
0 * inf, inf / inf) has no defined sign or payload, and processors differ
(x86-64 sets the sign bit, aarch64 does not). Two results or amplitudes that
are both NaN therefore count as equal; every other bit must match.
"""

import json
import math
import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest

FOREIGN_PYTHON = os.environ.get("KYR_FOREIGN_PYTHON")
PRODUCER = pathlib.Path(__file__).with_name("arch_results.py")


def produce(python, directory):
    subprocess.run([python, str(PRODUCER), str(directory)], check=True, timeout=900)
    return directory


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    if not FOREIGN_PYTHON:
        pytest.skip("KYR_FOREIGN_PYTHON names no interpreter")
    here = produce(sys.executable, tmp_path_factory.mktemp("native"))
    there = produce(FOREIGN_PYTHON, tmp_path_factory.mktemp("foreign"))
    return here, there


def results(directory):
    return json.loads((directory / "results.json").read_text())


def same_bits(first, second):
    """Raw-bit strings of two doubles: equal, or both NaN."""
    if first == second:
        return True
    if isinstance(first, str) and isinstance(second, str) and len(first) == len(second) == 16:
        return all(math.isnan(struct.unpack("<d", bytes.fromhex(bits))[0]) for bits in (first, second))
    return False


def test_the_two_runs_are_on_different_machines(outputs):
    here, there = outputs
    assert results(here)["machine"] != results(there)["machine"]


def test_the_same_files_are_written(outputs):
    here, there = outputs
    names = sorted(path.name for path in here.glob("*.kyr"))
    assert names == sorted(path.name for path in there.glob("*.kyr"))
    # Saved, normalized, near the tolerance and converted states all there.
    assert {"uniform-18.kyr", "uniform-18-normalized.kyr", "chunk-70001.kyr"} <= set(names)
    assert sum("-scaled-" in name for name in names) >= 5


def test_every_file_has_the_same_bytes(outputs):
    here, there = outputs
    mismatched = {}
    for path in sorted(here.glob("*.kyr")):
        mine, theirs = path.read_bytes(), (there / path.name).read_bytes()
        if mine == theirs:
            continue
        # Only NaN amplitudes may differ, and only in sign or payload.
        assert len(mine) == len(theirs) and mine[:16] == theirs[:16], path.name
        a = np.frombuffer(mine, dtype="<u8", offset=16)
        b = np.frombuffer(theirs, dtype="<u8", offset=16)
        differing = np.flatnonzero(a != b)
        a_nan = np.isnan(a[differing].view("<f8"))
        b_nan = np.isnan(b[differing].view("<f8"))
        assert a_nan.all() and b_nan.all(), (path.name, differing[~(a_nan & b_nan)][:5])
        mismatched[path.name] = len(differing)
    # Only a state holding an infinity, divided by its infinite norm, makes
    # new NaNs.
    assert set(mismatched) <= {"infinity-normalized.kyr"}, mismatched


def test_every_result_has_the_same_bits(outputs):
    here, there = outputs
    mine, theirs = results(here), results(there)
    del mine["machine"], theirs["machine"]
    assert mine.keys() == theirs.keys()
    differing = [(case, key, value, theirs[case].get(key))
                 for case, entry in mine.items() for key, value in entry.items()
                 if not same_bits(value, theirs[case].get(key))]
    assert differing == []
    assert mine["uniform-18"]["verify"] is False and mine["uniform-18"]["verify_after_normalize"] is True


@pytest.mark.parametrize("first, second, same", [
    ("000000000000f87f", "000000000000f8ff", True),   # NaN of either sign
    ("010000000000f07f", "000000000000f8ff", True),   # signalling payload
    ("0000000000000000", "0000000000000080", False),  # +0 and -0
    ("000000000000f07f", "000000000000f0ff", False),  # +inf and -inf
    ("000000000000f07f", "000000000000f87f", False),  # inf and NaN
    ("done", "done", True),
    (True, False, False),
])
def test_only_nans_are_compared_loosely(first, second, same):
    assert same_bits(first, second) is same
