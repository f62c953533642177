"""Helpers shared by the Qiskit exchange tests: stand-ins for a Statevector
and the bit patterns of float arrays."""

from types import SimpleNamespace

import numpy as np


def bits(values):
    return np.ascontiguousarray(values).view(np.uint64)


def parts(real, imag):
    """Stands in for a Statevector: data.flatten() has `real` and `imag`."""
    flat = SimpleNamespace(real=real, imag=imag)
    return SimpleNamespace(data=SimpleNamespace(flatten=lambda: flat))
