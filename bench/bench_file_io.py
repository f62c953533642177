"""Times kyr's disk load, save and verify against NumPy on the same bytes.

Every operation moves one whole state, 16 * 2**n bytes; throughput is in GB/s
of those bytes. Seconds are the best of several repeats. Files live in a
temporary directory next to this script (the same disk as the repository) and
stay in the page cache between repeats: nothing is dropped or synced, so reads
come from memory and writes end in dirty page cache, for kyr and NumPy alike.
A save "to a new file" unlinks the target before each repeat (untimed); one
"over an existing file" truncates the full-size file the previous repeat
wrote, as part of the timed call.

The verify counterpart is a plain copy of the same number of bytes into fresh
memory, `np.copyto(np.empty_like(a), a)`.

Peak memory is measured once per operation in a fresh subprocess: the
increase of ru_maxrss over a baseline taken after the imports and after the
input exists. The kernel's high-water mark is reset before the baseline
(/proc/self/clear_refs), so building the input does not hide the operation's
own peak.

Writes a Markdown table to stdout and to bench/results/file_io.md.
"""

import gc
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

import kyr

QUBITS = (20, 24, 26)
REPEATS = {20: 15, 24: 7, 26: 5}
RESULTS = pathlib.Path(__file__).resolve().parent / "results"


class Files:
    """The paths of one qubit count: the source state and the write targets."""

    def __init__(self, directory, n):
        self.source = directory / f"state-{n}.kyr"
        self.npy = directory / f"state-{n}.npy"
        self.target = directory / f"target-{n}"

    def unlink_target(self):
        self.target.unlink(missing_ok=True)

    def ensure_target(self):
        # A full-size file for the "existing file" cases to overwrite: the
        # last repeat's output, or a copy of the source the first time.
        if not self.target.exists():
            with open(self.source, "rb") as src, open(self.target, "wb") as dst:
                while chunk := src.read(64 << 20):
                    dst.write(chunk)


def load_state(files):
    return kyr.load(str(files.source))


def load_pairs(files):
    return np.fromfile(files.source, dtype=np.float64, offset=16)


def no_input(files):
    return None


def save_npy(path, array):
    # Through a file object, so np.save does not append ".npy" to the name.
    with open(path, "wb") as out:
        np.save(out, array, allow_pickle=False)


# name -> (build input, untimed preparation, timed call, counterpart name).
OPERATIONS = {
    "kyr.load": (no_input, None,
                 lambda f, _: kyr.load(str(f.source)), "np.fromfile"),
    "np.fromfile": (no_input, None,
                    lambda f, _: np.fromfile(f.source, dtype=np.float64, offset=16), None),
    "np.load": (no_input, None,
                lambda f, _: np.load(f.npy), None),
    "kyr.save (new file)": (load_state, Files.unlink_target,
                            lambda f, s: kyr.save(s, str(f.target)), "tofile (new file)"),
    "tofile (new file)": (load_pairs, Files.unlink_target,
                          lambda f, a: a.tofile(f.target), None),
    "np.save (new file)": (load_pairs, Files.unlink_target,
                           lambda f, a: save_npy(f.target, a), None),
    "kyr.save (existing file)": (load_state, Files.ensure_target,
                                 lambda f, s: kyr.save(s, str(f.target)),
                                 "tofile (existing file)"),
    "tofile (existing file)": (load_pairs, Files.ensure_target,
                               lambda f, a: a.tofile(f.target), None),
    "kyr.verify": (no_input, None,
                   lambda f, _: kyr.verify(str(f.source)), "plain copy"),
    "plain copy": (load_pairs, None,
                   lambda f, a: np.copyto(np.empty_like(a), a), None),
}


def best_seconds(name, files, repeats):
    build, prepare, run, _ = OPERATIONS[name]
    data = build(files)
    best = float("inf")
    for _ in range(repeats):
        if prepare is not None:
            prepare(files)
        gc.collect()
        start = time.perf_counter()
        result = run(files, data)
        elapsed = time.perf_counter() - start
        del result  # freed outside the timed region
        best = min(best, elapsed)
    if name == "kyr.verify":
        assert run(files, data), "the benchmark state should verify"
    return best


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def max_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def current_rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_peak(name, directory, n):
    """Runs in the subprocess: prints the operation's peak extra bytes."""
    files = Files(pathlib.Path(directory), n)
    build, prepare, run, _ = OPERATIONS[name]
    data = build(files)
    if prepare is not None:
        prepare(files)
    gc.collect()
    if not reset_peak():
        print("warning: could not reset the RSS high-water mark", file=sys.stderr)
    baseline = max_rss_bytes()
    if baseline > current_rss_bytes() + (8 << 20):
        print(f"warning: {name} at {n} qubits starts {baseline >> 20} MiB high", file=sys.stderr)
    result = run(files, data)
    print(max_rss_bytes() - baseline)
    del result


def peak_extra_mib(name, directory, n):
    out = subprocess.run(
        [sys.executable, __file__, "--peak", name, str(directory), str(n)],
        check=True, stdout=subprocess.PIPE, text=True)
    return int(out.stdout) / 2**20


def write_inputs(files, n):
    pairs = np.random.default_rng(n).standard_normal(2 << n)
    pairs /= np.sqrt(np.dot(pairs, pairs))
    kyr.save(kyr.from_numpy(pairs), str(files.source))
    save_npy(files.npy, pairs)


def main(directory):
    every = [Files(directory, n) for n in QUBITS]
    # A child's ru_maxrss never drops below its parent's peak at the time of
    # the fork, so the inputs are written elsewhere and every peak is taken
    # while this process is still small.
    for n in QUBITS:
        subprocess.run([sys.executable, __file__, "--inputs", str(directory), str(n)], check=True)
    peaks = {(name, n): peak_extra_mib(name, directory, n) for n in QUBITS for name in OPERATIONS}
    rows = []
    for n, files in zip(QUBITS, every):
        state_bytes = 16 << n
        seconds = {name: best_seconds(name, files, REPEATS[n]) for name in OPERATIONS}
        for name, (_, _, _, counterpart) in OPERATIONS.items():
            ratio = f"{seconds[counterpart] / seconds[name]:.2f}x {counterpart}" if counterpart else ""
            rows.append((name, n, seconds[name], state_bytes / seconds[name] / 1e9, ratio,
                         peaks[name, n]))
        for path in (files.source, files.npy, files.target):
            path.unlink(missing_ok=True)

    lines = [
        "| operation | qubits | seconds | GB/s | speed vs NumPy counterpart | peak extra MiB |",
        "|---|---:|---:|---:|---|---:|",
    ]
    for name, n, secs, rate, ratio, peak in rows:
        lines.append(f"| {name} | {n} | {secs:.4f} | {rate:.2f} | {ratio} | {peak:.1f} |")
    table = "\n".join(lines) + "\n"
    print(table, end="")
    (RESULTS / "file_io.md").write_text(table)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        measure_peak(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif sys.argv[1:2] == ["--inputs"]:
        write_inputs(Files(pathlib.Path(sys.argv[2]), int(sys.argv[3])), int(sys.argv[3]))
    else:
        RESULTS.mkdir(exist_ok=True)
        with tempfile.TemporaryDirectory(prefix="kyr-file-io-", dir=RESULTS) as tmp:
            main(pathlib.Path(tmp))
