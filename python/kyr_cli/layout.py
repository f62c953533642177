"""The .kyr byte layout, for the parts of the command that look at a file
without loading the whole state through kyr.load.

A file is a 16-byte header (magic, qubit count, bond byte, Golay byte, eight
reserved bytes) followed by 2**n little-endian (re, im) binary64 pairs. The
checks and their messages are kyr.load's, in its order, so the command
reports a bad file the same way whichever path reads it.
"""

import os
import stat

from .errors import FileError, read_error

MAGIC = b"KYR\x01"
HEADER_SIZE = 16
MAX_QUBITS = 30
AMPLITUDE_BYTES = 16
# What kyr writes for a state made from an array: bond dimension 64, Golay on.
DEFAULT_BOND_BYTE = 64
DEFAULT_GOLAY_BYTE = 1


class Header:
    """The fields of a checked header. (A plain class: dataclasses would add a
    fifth to the command's start-up time.)"""

    __slots__ = ("num_qubits", "bond_dimension", "golay_enabled")

    def __init__(self, num_qubits, bond_dimension, golay_enabled):
        self.num_qubits = num_qubits
        self.bond_dimension = bond_dimension
        self.golay_enabled = golay_enabled

    @property
    def dimension(self):
        return 1 << self.num_qubits

    @property
    def file_size(self):
        return HEADER_SIZE + AMPLITUDE_BYTES * self.dimension


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


def read_header(path):
    """The header of the regular file `path`, checked against the file's size. Raises
    FileError, worded as kyr.load words it, when the file cannot be opened or fails a
    check, and when it is a FIFO or a device, which have no size to check against."""
    try:
        # Checked before opening: opening a FIFO with no writer would block. A
        # directory goes on to fail in open(), as it does in kyr.load.
        kind = os.stat(path).st_mode
        if not (stat.S_ISREG(kind) or stat.S_ISDIR(kind)):
            raise FileError(path, "not a regular file")
        with open(path, "rb") as file:
            data = file.read(HEADER_SIZE)
            size = os.fstat(file.fileno()).st_size
    except OSError as error:
        raise read_error(path, error) from None
    try:
        return parse_header(data, size)
    except ValueError as error:
        raise FileError(path, str(error)) from None


def encode_header(num_qubits):
    return (MAGIC + bytes([num_qubits, DEFAULT_BOND_BYTE, DEFAULT_GOLAY_BYTE, 0])
            + bytes(HEADER_SIZE - 8))
