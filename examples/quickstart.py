"""Create a Bell state, save it, load it back and check it."""

import math
import os
import tempfile

import numpy as np

import kyr

bell = kyr.KyrFile(2)
amplitude = 1 / math.sqrt(2)
bell.set_amplitudes(np.array([amplitude, 0.0, 0.0, amplitude]), np.zeros(4))
bell.set_metadata("circuit", "H(0); CX(0, 1)")
print(bell)
print(repr(bell))

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "bell.kyr")
    bell.save(path)
    print(f"saved {os.path.getsize(path)} bytes to {os.path.basename(path)}")
    print("verify:", kyr.verify(path))

    loaded = kyr.load(path)
    print("loaded:", loaded)
    print("fidelity with the original:", loaded.fidelity(bell))
    print("amplitudes:", loaded.amplitudes_real, loaded.amplitudes_imag)
    assert loaded.fidelity(bell) == bell.norm_squared() ** 2
    assert loaded.to_bytes() == bell.to_bytes()
