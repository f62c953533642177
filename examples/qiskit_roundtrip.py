"""Store the state of a Qiskit circuit in a .kyr file, load it and check it."""

import os
import tempfile

import numpy as np
from qiskit import QuantumCircuit
from qiskit.quantum_info import Statevector, state_fidelity

import kyr

# A 6-qubit GHZ state, then a different rotation on every qubit so that the
# amplitudes carry both magnitudes and phases.
num_qubits = 6
circuit = QuantumCircuit(num_qubits)
circuit.h(0)
for qubit in range(num_qubits - 1):
    circuit.cx(qubit, qubit + 1)
for qubit in range(num_qubits):
    circuit.ry(0.2 * (qubit + 1), qubit)
    circuit.rz(0.5 * (qubit + 1), qubit)
original = Statevector.from_instruction(circuit)

state = kyr.from_qiskit(original)
print(f"from Qiskit: {state}")

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "ghz_rotated.kyr")
    kyr.save(state, path)
    print(f"saved {os.path.getsize(path)} bytes, verify: {kyr.verify(path)}")
    loaded = kyr.load(path)

restored = kyr.to_qiskit(loaded)
fidelity = state_fidelity(original, restored)
largest = max(abs(restored.data - original.data))
print(f"restored Statevector: {restored.num_qubits} qubits, dims {restored.dims()}")
print(f"equivalent to the original: {restored.equiv(original)}")
print(f"fidelity: {fidelity:.15f}, largest amplitude difference: {largest}")
top = sorted(restored.probabilities_dict().items(), key=lambda item: -item[1])[:3]
print("most likely outcomes:", ", ".join(f"{key}: {p:.4f}" for key, p in top))

assert np.array_equal(restored.data, original.data)
assert restored.equiv(original)
assert abs(fidelity - 1.0) < 1e-12
