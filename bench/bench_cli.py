"""The kyr command's time against the module's own call, in fresh processes.

    $KYR_PYTHON bench/bench_cli.py [--qubits 26 30] [--repeats 5]

For each qubit count it writes a valid file (amplitude 1 at index 0) and a
failing one (every amplitude 0, squared norm 0), then times, as a user runs
them (each a new process, output discarded, the median of --repeats runs
after one that is not counted, so the files are in the page cache when they
fit):

- `python -c 'import kyr'` and `kyr verify` of a 1-qubit file: start-up;
- `python -c 'import kyr; kyr.verify(FILE)'` and `kyr verify FILE` on each file.

Prints a Markdown table with the command's time over the module's. The
command is the `kyr` beside this interpreter. Needs 16 GiB of free disk at 30
qubits. Files live in a temporary folder under $KYR_PERF_DIR (default /tmp).
"""

import argparse
import os
import pathlib
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HEADER = b"KYR\x01"
CHUNK = 64 << 20


def write_state(path, num_qubits, first_amplitude):
    """A file of 2**num_qubits amplitudes, all 0 but the first, written chunk by chunk."""
    remaining = 16 << num_qubits
    with open(path, "wb") as file:
        file.write(HEADER + bytes([num_qubits, 64, 1]) + bytes(9))
        head = struct.pack("<dd", first_amplitude, 0.0)
        file.write(head)
        remaining -= len(head)
        zeros = bytes(CHUNK)
        while remaining:
            step = min(CHUNK, remaining)
            file.write(zeros[:step])
            remaining -= step


def median_seconds(command, repeats):
    times = []
    for _ in range(repeats + 1):
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times[1:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[26, 30])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    command = str(pathlib.Path(sys.executable).parent / "kyr")
    module = lambda path: [sys.executable, "-c", "import sys, kyr; kyr.verify(sys.argv[1])", path]
    rows = []
    with tempfile.TemporaryDirectory(prefix="kyr-cli-", dir=os.environ.get("KYR_PERF_DIR")) as folder:
        tiny = os.path.join(folder, "tiny.kyr")
        write_state(tiny, 1, 1.0)
        start_module = median_seconds([sys.executable, "-c", "import kyr"], args.repeats)
        start_command = median_seconds([command, "verify", tiny], args.repeats)
        rows.append(("start-up: import kyr / kyr verify of a 1-qubit file",
                     start_module, start_command))
        for n in args.qubits:
            for kind, amplitude in (("valid", 1.0), ("failing (norm 0)", 0.0)):
                path = os.path.join(folder, f"{n}.kyr")
                write_state(path, n, amplitude)
                rows.append((f"{n} qubits, {kind}", median_seconds(module(path), args.repeats),
                             median_seconds([command, "verify", path], args.repeats)))
                os.unlink(path)
    print("| case | python -c 'kyr.verify' s | kyr verify s | ratio |")
    print("|---|---:|---:|---:|")
    for case, reference, measured in rows:
        print(f"| {case} | {reference:.3f} | {measured:.3f} | {measured / reference:.2f} |")


if __name__ == "__main__":
    main()
