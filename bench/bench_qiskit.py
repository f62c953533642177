"""Times kyr's Qiskit exchange against the NumPy route a user could write.

- `kyr.from_qiskit(sv)` against `kyr.from_numpy(sv.data.view(np.float64))`;
- `kyr.to_qiskit(f)` against `Statevector(f.amplitudes.view(np.complex128))`.

from_qiskit must call `sv.data.flatten()`, a full copy that costs about as
much as the whole NumPy route, so about 0.5x is the most it can reach; the
copy alone is timed as well. to_qiskit's NumPy calls (two more copies, a
multiplication and an addition) are fixed, so it stays well below its route.

Seconds are the best of several repeats: on a machine shared with other work
the best repeat is the least disturbed one. Peak memory is measured at the
largest size, once per operation in a fresh subprocess: the growth of the
resident high-water mark (VmHWM, reset through /proc/self/clear_refs once
the input exists) while the operation runs and its result is alive.

Writes Markdown tables to stdout and to bench/results/qiskit.md.
"""

import gc
import pathlib
import subprocess
import sys
import time

import numpy as np
from qiskit.quantum_info import Statevector

import kyr

QUBITS = (16, 20, 24)
REPEATS = {16: 50, 20: 20, 24: 7}
PEAK_QUBITS = 24


def make_statevector(n):
    pairs = np.random.default_rng(n).standard_normal(2 << n)
    return Statevector(pairs.view(np.complex128))


def make_state(n):
    return kyr.from_numpy(np.random.default_rng(n).standard_normal(2 << n))


# name: (input maker, operation)
OPERATIONS = {
    "kyr.from_qiskit(sv)": (make_statevector, kyr.from_qiskit),
    "kyr.from_numpy(sv.data.view(np.float64))": (
        make_statevector, lambda sv: kyr.from_numpy(sv.data.view(np.float64))),
    "sv.data.flatten()": (make_statevector, lambda sv: sv.data.flatten()),
    "kyr.to_qiskit(f)": (make_state, kyr.to_qiskit),
    "Statevector(f.amplitudes.view(np.complex128))": (
        make_state, lambda f: Statevector(f.amplitudes.view(np.complex128))),
}
# kyr operation: the NumPy route it is compared with
ROUTES = {
    "kyr.from_qiskit(sv)": "kyr.from_numpy(sv.data.view(np.float64))",
    "kyr.to_qiskit(f)": "Statevector(f.amplitudes.view(np.complex128))",
}


def best_seconds(operation, argument, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = operation(argument)
        elapsed = time.perf_counter() - start
        del result  # freed outside the timed region, like every variant
        best = min(best, elapsed)
    return best


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure_peak(name, n):
    """Runs in the subprocess: prints the operation's peak extra bytes."""
    make, operation = OPERATIONS[name]
    argument = make(n)
    operation(argument)  # imports and NumPy's array API, outside the measurement
    gc.collect()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # VmHWM := VmRSS
    baseline = status_bytes("VmHWM")
    result = operation(argument)
    print(status_bytes("VmHWM") - baseline)
    del result


def peak_extra_mib(name, n):
    out = subprocess.run([sys.executable, __file__, "--peak", name, str(n)],
                         check=True, stdout=subprocess.PIPE, text=True)
    return int(out.stdout) / 2**20


def main():
    seconds = {}
    for n in QUBITS:
        for name, (make, operation) in OPERATIONS.items():
            argument = make(n)
            seconds[name, n] = best_seconds(operation, argument, REPEATS[n])
            del argument
            gc.collect()

    lines = [
        "| qubits | kyr operation | kyr ms | NumPy route | route ms | kyr / route speed |",
        "|---:|---|---:|---|---:|---:|",
    ]
    for n in QUBITS:
        for name, route in ROUTES.items():
            mine, theirs = seconds[name, n], seconds[route, n]
            lines.append(f"| {n} | `{name}` | {mine * 1e3:.3f} | `{route}` | "
                         f"{theirs * 1e3:.3f} | {theirs / mine:.2f}x |")
    lines += ["", "| qubits | `sv.data.flatten()` ms |", "|---:|---:|"]
    lines += [f"| {n} | {seconds['sv.data.flatten()', n] * 1e3:.3f} |" for n in QUBITS]

    state_mib = (16 << PEAK_QUBITS) / 2**20
    lines += ["", f"Peak memory at {PEAK_QUBITS} qubits (state: {state_mib:.0f} MiB)", "",
              "| operation | peak extra MiB | x state |", "|---|---:|---:|"]
    for name in OPERATIONS:
        peak = peak_extra_mib(name, PEAK_QUBITS)
        lines.append(f"| `{name}` | {peak:.0f} | {peak / state_mib:.2f} |")

    table = "\n".join(lines) + "\n"
    print(table, end="")
    results = pathlib.Path(__file__).resolve().parent / "results"
    results.mkdir(exist_ok=True)
    (results / "qiskit.md").write_text(table)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        measure_peak(sys.argv[2], int(sys.argv[3]))
    else:
        main()
