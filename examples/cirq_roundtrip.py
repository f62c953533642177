"""Store the state of a Cirq circuit in a .kyr file, load it and check it."""

import os
import sys
import tempfile

try:
    import cirq
except ImportError:
    print("cirq is not installed (pip install cirq-core); skipping the Cirq example")
    sys.exit(0)

import numpy as np

import kyr

num_qubits = 4
qubits = cirq.LineQubit.range(num_qubits)
circuit = cirq.Circuit(
    cirq.H(qubits[0]),
    [cirq.CNOT(a, b) for a, b in zip(qubits, qubits[1:])],
    [cirq.rx(0.3 * (k + 1)).on(q) for k, q in enumerate(qubits)],
)
# Cirq simulates in complex64 unless asked otherwise; kyr stores float64 parts.
original = cirq.final_state_vector(circuit, dtype=np.complex128)

# A complex128 array viewed as float64 is exactly the interleaved
# re0, im0, re1, im1, ... layout from_numpy reads; no copy is made here.
state = kyr.from_numpy(original.view(np.float64))
print(f"from Cirq: {state}")

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "cirq_state.kyr")
    kyr.save(state, path)
    print(f"saved {os.path.getsize(path)} bytes, verify: {kyr.verify(path)}")
    loaded = kyr.load(path)

restored = loaded.amplitudes.view(np.complex128)
fidelity = cirq.fidelity(original, restored, qid_shape=(2,) * num_qubits)
print(f"fidelity: {fidelity:.15f}")
assert np.array_equal(restored, original)
assert abs(fidelity - 1.0) < 1e-12

# kyr keeps amplitude indices as it is given them. Cirq's index is
# big-endian (qubit 0 is the most significant bit), Qiskit's little-endian
# (qubit 0 is the least significant), so a state moving between the two
# needs its qubit axes reversed.
as_qiskit = restored.reshape((2,) * num_qubits).transpose().reshape(-1)
only_q0 = 0b1000
print(f"amplitude with only qubit 0 set: Cirq index {only_q0} = {restored[only_q0]:.4f}, "
      f"Qiskit index 1 = {as_qiskit[1]:.4f}")
assert as_qiskit[1] == restored[only_q0]
