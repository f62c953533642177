"""Times kyr's NumPy exchange against the NumPy code a user would write and
against a plain copy of the same bytes into fresh memory.

Every operation moves one whole state, 16 * 2**n bytes; throughput is given
in GB/s of those bytes, best of several repeats. Writes a Markdown table to
stdout and to bench/results/numpy_bridge.md.
"""

import gc
import pathlib
import time

import numpy as np

import kyr

QUBITS = (20, 24, 26)
REPEATS = {20: 15, 24: 7, 26: 5}


def best_seconds(operation, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = operation()
        elapsed = time.perf_counter() - start
        del result  # freed outside the timed region, like every variant
        best = min(best, elapsed)
    return best


def interleave_by_slices(re, im):
    out = np.empty(2 * re.size)
    out[0::2] = re
    out[1::2] = im
    return out


def cases(n):
    dim = 1 << n
    rng = np.random.default_rng(n)
    pairs = rng.standard_normal(2 * dim)
    re = np.ascontiguousarray(pairs[0::2])
    im = np.ascontiguousarray(pairs[1::2])
    state = kyr.from_numpy(pairs)
    return [
        ("from_numpy", lambda: kyr.from_numpy(pairs), [
            ("a[0::2].copy(), a[1::2].copy()", lambda: (pairs[0::2].copy(), pairs[1::2].copy())),
            ("c = a.view(complex128); c.real.copy(), c.imag.copy()",
             lambda: (lambda c: (c.real.copy(), c.imag.copy()))(pairs.view(np.complex128))),
        ]),
        ("from_arrays", lambda: kyr.from_arrays(re, im), [
            ("re.copy(), im.copy()", lambda: (re.copy(), im.copy())),
        ]),
        ("amplitudes", lambda: state.amplitudes, [
            ("out[0::2] = re; out[1::2] = im", lambda: interleave_by_slices(re, im)),
            ("np.stack((re, im), axis=1).reshape(-1)",
             lambda: np.stack((re, im), axis=1).reshape(-1)),
            ("(re + 1j * im).view(float64)", lambda: (re + 1j * im).view(np.float64)),
        ]),
        ("amplitudes_real + amplitudes_imag",
         lambda: (state.amplitudes_real, state.amplitudes_imag), [
             ("re.copy(), im.copy()", lambda: (re.copy(), im.copy())),
         ]),
        ("set_amplitudes", lambda: state.set_amplitudes(re, im), [
            ("re.copy(), im.copy()", lambda: (re.copy(), im.copy())),
        ]),
    ], [
        ("np.copy", lambda: np.copy(pairs)),
        ("bytearray(memoryview)", lambda: bytearray(memoryview(pairs))),
    ]


def main():
    rows = []
    for n in QUBITS:
        repeats = REPEATS[n]
        state_bytes = 16 << n
        operations, plain = cases(n)
        plain_seconds = min(best_seconds(op, repeats) for _, op in plain)
        for name, operation, numpy_ways in operations:
            seconds = best_seconds(operation, repeats)
            numpy_timed = [(label, best_seconds(op, repeats)) for label, op in numpy_ways]
            best_label, numpy_seconds = min(numpy_timed, key=lambda item: item[1])
            rows.append((
                n, name, state_bytes / seconds / 1e9, best_label,
                state_bytes / numpy_seconds / 1e9, numpy_seconds / seconds,
                state_bytes / plain_seconds / 1e9, plain_seconds / seconds,
            ))
        del operations, plain
        gc.collect()

    lines = [
        "| qubits | operation | kyr GB/s | fastest NumPy way | NumPy GB/s | kyr / NumPy "
        "| plain copy GB/s | kyr / plain copy |",
        "|---:|---|---:|---|---:|---:|---:|---:|",
    ]
    for n, name, kyr_rate, label, numpy_rate, speedup, plain_rate, plain_ratio in rows:
        lines.append(
            f"| {n} | {name} | {kyr_rate:.2f} | `{label}` | {numpy_rate:.2f} | {speedup:.2f}x "
            f"| {plain_rate:.2f} | {plain_ratio:.2f}x |")
    table = "\n".join(lines) + "\n"
    print(table, end="")
    results = pathlib.Path(__file__).resolve().parent / "results"
    results.mkdir(exist_ok=True)
    (results / "numpy_bridge.md").write_text(table)


if __name__ == "__main__":
    main()
