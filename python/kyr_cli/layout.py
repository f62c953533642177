"""The .kyr byte layout, for the parts of the command that stream a file
instead of loading the whole state through kyr.load.

A file is a 16-byte header (magic, qubit count, bond byte, Golay byte, eight
reserved bytes) followed by 2**n little-endian (re, im) binary64 pairs. The
checks and their messages are kyr.load's, in its order, so the command
reports a bad file the same way whichever path reads it.
"""

import os
import stat
from dataclasses import dataclass

import numpy as np

from .errors import FileError, os_reason

MAGIC = b"KYR\x01"
HEADER_SIZE = 16
MAX_QUBITS = 30
AMPLITUDE = np.dtype("<c16")
# What kyr writes for a state made from an array: bond dimension 64, Golay on.
DEFAULT_BOND_BYTE = 64
DEFAULT_GOLAY_BYTE = 1


@dataclass(frozen=True)
class Header:
    num_qubits: int
    bond_dimension: int
    golay_enabled: bool

    @property
    def dimension(self):
        return 1 << self.num_qubits

    @property
    def file_size(self):
        return HEADER_SIZE + AMPLITUDE.itemsize * self.dimension


def parse_header(data, file_size):
    """Checks the first bytes of a file of `file_size` bytes; raises ValueError as kyr.load does."""
    if len(data) < HEADER_SIZE or file_size < HEADER_SIZE:
        raise ValueError("File too small")
    if data[:4] != MAGIC:
        raise ValueError("Invalid KYR magic number")
    num_qubits = data[4]
    if not 1 <= num_qubits <= MAX_QUBITS:
        raise ValueError(f"Invalid num_qubits: {num_qubits}")
    header = Header(num_qubits, data[5] or 64, data[6] != 0)
    if file_size < header.file_size:
        raise ValueError(f"File truncated: expected {header.file_size} bytes, got {file_size}")
    return header


def encode_header(num_qubits):
    return (MAGIC + bytes([num_qubits, DEFAULT_BOND_BYTE, DEFAULT_GOLAY_BYTE, 0])
            + bytes(HEADER_SIZE - 8))


def read_header(path):
    """The header of the regular file `path`, checked against the file's size."""
    try:
        # Checked before opening: opening a FIFO with no writer would block.
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise FileError(path, "not a regular file")
        with open(path, "rb") as file:
            data = file.read(HEADER_SIZE)
            size = os.fstat(file.fileno()).st_size
    except OSError as error:
        raise FileError(path, os_reason(error)) from None
    try:
        return parse_header(data, size)
    except ValueError as error:
        raise FileError(path, str(error)) from None
