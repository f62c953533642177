"""Reads a .kyr file with NumPy alone: the header, and the amplitudes without copying them."""

import sys

import numpy as np


def read_kyr(path):
    """Returns (num_qubits, bond_dimension, golay, amplitudes) of a .kyr file.

    `amplitudes` is a read-only complex128 memory map of the file: nothing is
    read from disk until it is used, and a 30-qubit file costs no memory up
    front. NumPy raises ValueError if the file is shorter than its header says.
    """
    with open(path, "rb") as file:
        header = file.read(16)
    if len(header) < 16 or header[:4] != b"KYR\x01" or not 1 <= header[4] <= 30:
        raise ValueError(f"{path}: not a .kyr file")
    num_qubits = header[4]
    bond_dimension = header[5] or 64  # 0 means 64
    golay = header[6] != 0
    amplitudes = np.memmap(path, dtype="<c16", mode="r", offset=16, shape=(2**num_qubits,))
    return num_qubits, bond_dimension, golay, amplitudes


if __name__ == "__main__":
    num_qubits, bond_dimension, golay, amplitudes = read_kyr(sys.argv[1])
    print(f"{num_qubits} qubits, bond dimension {bond_dimension}, Golay {'on' if golay else 'off'}")
    print("probabilities:", np.abs(amplitudes) ** 2)
