"""Mistakes a type checker must report against kyr's stubs: each line marked
`# E: <code>` must give exactly that mypy error, and no other line any."""

import pathlib

import numpy as np
from numpy.typing import NDArray

import kyr

state = kyr.KyrFile(2)
converter = kyr.StreamingConverter(16)
wavefunction = np.zeros(4, dtype=np.complex128)

kyr.from_numpy(wavefunction)  # E: arg-type
kyr.from_arrays([1.0, 0.0], [0.0, 0.0])  # E: arg-type
kyr.load(pathlib.Path("a.kyr"))  # E: arg-type
state.save(pathlib.Path("a.kyr"))  # E: arg-type
kyr.save(state, "a.kyr", golay=1)  # E: arg-type
state.set_amplitude(0, 1j, 0.0)  # E: arg-type
state.get_amplitude(1.0)  # E: arg-type
state.num_qubits = 3  # E: misc
state.amplitudes = np.zeros(8)  # E: misc
state.bond_dimension = "64"  # E: assignment
complex_view: NDArray[np.complex128] = state.amplitudes  # E: assignment
amplitude: complex = state.get_amplitude(0)  # E: assignment
kyr.Encoding.Amplitud  # E: attr-defined
kyr.Encoding.Block = kyr.Encoding.Qram  # E: misc
kyr.StreamingConverter(16, encoding=0)  # E: arg-type
converter.process_chunk(bytearray(4))  # E: arg-type
kyr.from_qiskit(np.zeros(4))  # E: arg-type
kyr.to_qiskit(kyr.from_numpy)  # E: arg-type


class Mine(kyr.KyrFile):  # E: misc
    pass
