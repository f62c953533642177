"""The whole-state file operations that bench_sizes.py times, kyr's and its
peers', on the files of one qubit count.

Every operation moves one state of n qubits: 2**n complex128 amplitudes,
16 * 2**n bytes. kyr reads and writes .kyr files; NumPy's raw calls use the
same bytes without the header (.bin), np.load and np.save a .npy file and
h5py one complex128 dataset.
"""

import mmap
import os
import pathlib
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

import kyr

# Amplitudes generated, normalised and written per step when building inputs.
GENERATION_AMPLITUDES = 1 << 20
DATASET = "amplitudes"


class Files:
    """The inputs of one qubit count and the targets the writes replace."""

    def __init__(self, directory, n):
        directory = pathlib.Path(directory)
        self.directory = directory
        self.n = n
        self.kyr = str(directory / f"state-{n}.kyr")
        self.bin = str(directory / f"state-{n}.bin")
        self.npy = str(directory / f"state-{n}.npy")
        self.h5 = str(directory / f"state-{n}.h5")
        self.kyr_target = str(directory / f"target-{n}.kyr")
        self.bin_target = str(directory / f"target-{n}.bin")
        self.npy_target = str(directory / f"target-{n}.npy")
        self.h5_target = str(directory / f"target-{n}.h5")

    def all_paths(self):
        return [self.kyr, self.bin, self.npy, self.h5,
                self.kyr_target, self.bin_target, self.npy_target, self.h5_target]


def kyr_header(n):
    # What kyr.save writes for an n-qubit state with its defaults: bond
    # dimension 64, Golay on. Building the file from it lets a 30-qubit
    # input exist without two 16 GiB copies of the state in memory at once.
    return b"KYR\x01" + bytes([n, 64, 1]) + bytes(9)


def _random_blocks(n):
    """Seeded standard-normal (re, im) pairs of the n-qubit state, block by block."""
    rng = np.random.default_rng(n)
    for start in range(0, 1 << n, GENERATION_AMPLITUDES):
        count = min(GENERATION_AMPLITUDES, (1 << n) - start)
        yield rng.standard_normal(2 * count)


def write_inputs(files):
    """Writes one dense random normalised state as .bin and .kyr, block by block."""
    norm = np.sqrt(sum(float(np.dot(block, block)) for block in _random_blocks(files.n)))
    with open(files.bin, "wb") as raw, open(files.kyr, "wb") as state:
        state.write(kyr_header(files.n))
        for block in _random_blocks(files.n):
            block /= norm
            block.tofile(raw)
            block.tofile(state)
    assert kyr.verify(files.kyr), "the generated state should verify"


def write_npy_and_h5(files, pairs):
    np.save(files.npy, pairs)
    write_h5(files.h5, pairs)


def read_h5(path):
    import h5py

    with h5py.File(path, "r") as h5:
        return h5[DATASET][()]


def write_h5(path, pairs):
    import h5py

    with h5py.File(path, "w") as h5:
        h5.create_dataset(DATASET, data=pairs)


def unlink(path):
    pathlib.Path(path).unlink(missing_ok=True)


def fsync_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@dataclass(frozen=True)
class Operation:
    """run(files, data) moves one state; prepare(files) runs untimed before each call.

    `needs` is what `data` must be: None, "state" (a KyrFile) or "pairs" (a
    complex128 array).
    """

    run: Callable
    needs: Optional[str] = None
    prepare: Optional[Callable] = None


KYR_READS = {
    "kyr.load": Operation(lambda f, _: kyr.load(f.kyr)),
    "kyr.verify": Operation(lambda f, _: kyr.verify(f.kyr)),
}

PEER_READS = {
    "np.fromfile": Operation(lambda f, _: np.fromfile(f.bin, dtype=np.complex128)),
    "np.load": Operation(lambda f, _: np.load(f.npy)),
    "h5py read": Operation(lambda f, _: read_h5(f.h5)),
}

READS = KYR_READS | PEER_READS

# "new" removes the target before each call; "over" replaces the full-size
# file that the call before it left.
STATE_WRITES = {
    "kyr.save new": Operation(lambda f, s: kyr.save(s, f.kyr_target), "state",
                              lambda f: unlink(f.kyr_target)),
    "kyr.save over": Operation(lambda f, s: kyr.save(s, f.kyr_target), "state"),
}

PAIR_WRITES = {
    "tofile new": Operation(lambda f, z: z.tofile(f.bin_target), "pairs",
                            lambda f: unlink(f.bin_target)),
    "tofile over": Operation(lambda f, z: z.tofile(f.bin_target), "pairs"),
    "np.save": Operation(lambda f, z: np.save(f.npy_target, z), "pairs",
                         lambda f: unlink(f.npy_target)),
    "h5py write": Operation(lambda f, z: write_h5(f.h5_target, z), "pairs",
                            lambda f: unlink(f.h5_target)),
}

# Cold-cache writes include flushing the file to the disk.
COLD_WRITES = {
    "kyr.save+fsync": Operation(lambda f, s: (kyr.save(s, f.kyr_target), fsync_path(f.kyr_target)),
                                "state", lambda f: (unlink(f.kyr_target), os.sync())),
    "tofile+fsync": Operation(lambda f, z: (z.tofile(f.bin_target), fsync_path(f.bin_target)),
                              "pairs", lambda f: (unlink(f.bin_target), os.sync())),
}

# The disk's own sequential read rate, past the page cache: the raw bytes
# read with O_DIRECT in requests of 64 MiB (the kernel splits each into as
# many device requests as the disk queues at once) into one buffer that is
# allocated and faulted in once, outside every timing. Nothing else is in
# the time: no program start-up (a `dd` run after dropping the caches spends
# tens of milliseconds loading itself from the disk), no page cache, no page
# faults, no decoding: the limit every reader of the file works against.
DIRECT_REQUEST_BYTES = 64 << 20
_direct_buffer = []


def direct_buffer():
    if not _direct_buffer:
        buffer = mmap.mmap(-1, DIRECT_REQUEST_BYTES)  # page-aligned, as O_DIRECT needs
        buffer.write(bytes(DIRECT_REQUEST_BYTES))  # faulted in now, not while timed
        _direct_buffer.append(buffer)
    return _direct_buffer[0]


def read_direct(path):
    buffer = direct_buffer()
    fd = os.open(path, os.O_RDONLY | os.O_DIRECT)
    try:
        while os.readv(fd, [buffer]) == DIRECT_REQUEST_BYTES:
            pass
    finally:
        os.close(fd)


RAW_READS = {
    "disk (O_DIRECT)": Operation(lambda f, _: read_direct(f.bin), prepare=lambda f: direct_buffer()),
}
