"""kyr's load, save and verify against NumPy and h5py at every size.

    $KYR_PYTHON bench/bench_sizes.py [--max-qubits 30] [--no-cold]

Needs h5py and matplotlib (the `bench` extra: pip install h5py matplotlib).
For n = 1 .. 28 (--max-qubits 30 goes further; 30 qubits needs 16 GiB of
memory and about 70 GB of free disk) it times, in one process:

- warm page cache: the median of repeated calls after one unmeasured call,
  each call's result freed inside the timed region; "new" writes remove the
  target first (untimed), "over" writes replace the file the call before left.
  kyr.load, kyr.verify, np.fromfile, np.load, h5py read; kyr.save, tofile
  (both to a new file and over an existing one), np.save, h5py write.
- cold page cache (root only, n >= --cold-from): the same reads after
  `sync; echo 1 > /proc/sys/vm/drop_caches` before every call, the disk's
  own rate (the raw bytes read with O_DIRECT into a ready buffer, see
  file_ops.RAW_READS), and kyr.save and tofile each followed by fsync.
- peak memory of one kyr.load, kyr.verify and np.fromfile, each in a fresh
  child process (peak_memory.py).

Writes docs/performance/sizes.md (the tables), sizes.png (GB/s against
qubits) and sizes.json (the raw medians; --from-json redraws the other two
from it without measuring).
Files live in a temporary directory under $KYR_PERF_DIR (default: the
system's temporary directory).
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

import kyr

import file_ops
import sizes_report

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
PEAK_SCRIPT = pathlib.Path(__file__).resolve().parent / "peak_memory.py"
PEAK_OPERATIONS = ("kyr.load", "kyr.verify", "np.fromfile")


def warm_repeats(n):
    return 400 if n <= 14 else 60 if n <= 20 else 12 if n <= 24 else 5 if n <= 26 else 3


def cold_repeats(n):
    return 3 if n <= 28 else 1


def median_seconds(operation, files, data, repeats, before_each=None):
    """The median of `repeats` timed calls, after one call that is not counted."""
    times = []
    for _ in range(repeats + 1):
        if before_each is not None:
            before_each()
        if operation.prepare is not None:
            operation.prepare(files)
        start = time.perf_counter()
        operation.run(files, data)  # the result is dropped inside the timed region
        times.append(time.perf_counter() - start)
    times = sorted(times[1:])
    return times[len(times) // 2]


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as control:
        control.write("1\n")


def can_drop_caches():
    return os.geteuid() == 0 and os.access("/proc/sys/vm/drop_caches", os.W_OK)


def time_all(operations, files, data, repeats, before_each=None):
    return {name: median_seconds(op, files, data, repeats, before_each)
            for name, op in operations.items()}


def peak_bytes(name, files):
    out = subprocess.run([sys.executable, str(PEAK_SCRIPT), name, str(files.directory),
                          str(files.n)], check=True, stdout=subprocess.PIPE, text=True)
    return int(out.stdout)


def measure_size(files, cold, log):
    """Warm and (when `cold`) cold medians and peaks for one qubit count.

    kyr's side runs first, then NumPy's and h5py's, each with only its own
    files: one copy of the state is in memory at a time (the KyrFile for
    kyr's writes, then the array for the peers' writes, then none for the
    reads), so that at 28 qubits the files being read stay in the page cache
    and 30 qubits fits at all.
    """
    n = files.n
    warm, cold_times, peaks = {}, {}, {}
    file_ops.write_inputs(files)

    state = kyr.load(files.kyr)
    warm |= time_all(file_ops.STATE_WRITES, files, state, warm_repeats(n))
    if cold:
        cold_times["kyr.save+fsync"] = median_seconds(
            file_ops.COLD_WRITES["kyr.save+fsync"], files, state, cold_repeats(n))
    del state
    file_ops.unlink(files.kyr_target)
    measure_reads(file_ops.KYR_READS, files, cold, warm, cold_times, peaks)
    file_ops.unlink(files.kyr)

    pairs = np.fromfile(files.bin, dtype=np.complex128)
    for name, op in file_ops.PAIR_WRITES.items():
        warm[name] = median_seconds(op, files, pairs, warm_repeats(n))
        for target in (files.bin_target, files.npy_target, files.h5_target):
            file_ops.unlink(target)
    if cold:
        cold_times["tofile+fsync"] = median_seconds(
            file_ops.COLD_WRITES["tofile+fsync"], files, pairs, cold_repeats(n))
        file_ops.unlink(files.bin_target)
    file_ops.write_npy_and_h5(files, pairs)
    del pairs
    measure_reads(file_ops.PEER_READS | (file_ops.RAW_READS if cold else {}), files, cold,
                  warm, cold_times, peaks)

    for path in files.all_paths():
        file_ops.unlink(path)
    log(sizes_report.progress_line(n, warm, cold_times))
    return warm, cold_times, peaks


def measure_reads(operations, files, cold, warm, cold_times, peaks):
    """Adds the reads' warm medians, peaks and (when `cold`) cold medians."""
    n = files.n
    warm |= time_all({k: v for k, v in operations.items() if k in file_ops.READS}, files, None,
                     warm_repeats(n))
    peaks |= {name: peak_bytes(name, files) for name in PEAK_OPERATIONS if name in operations}
    if cold:
        cold_times |= time_all(operations, files, None, cold_repeats(n), drop_caches)


def machine_description():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.processor())
    memory_kib = next(int(line.split()[1]) for line in open("/proc/meminfo")
                      if line.startswith("MemTotal"))
    import h5py

    return (f"{model}, {os.cpu_count()} CPUs, {memory_kib / 2**20:.0f} GiB; "
            f"Python {platform.python_version()}, kyr {kyr.version()}, NumPy {np.__version__}, "
            f"h5py {h5py.__version__}; {time.strftime('%Y-%m-%d')}")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--min-qubits", type=int, default=1)
    parser.add_argument("--max-qubits", type=int, default=28, choices=range(1, 31),
                        metavar="1..30")
    parser.add_argument("--cold-from", type=int, default=20,
                        help="smallest qubit count given a cold-cache pass (default 20)")
    parser.add_argument("--no-cold", action="store_true", help="skip the cold-cache pass")
    parser.add_argument("--out", type=pathlib.Path, default=REPOSITORY / "docs" / "performance",
                        help="where sizes.md, sizes.png and sizes.json go")
    parser.add_argument("--from-json", type=pathlib.Path, metavar="SIZES_JSON",
                        help="measure nothing: redraw the table and plot from an earlier run")
    return parser.parse_args()


def read_results(path):
    results = json.loads(path.read_text())
    for kind in ("warm", "cold", "peaks"):
        results[kind] = {int(n): values for n, values in results[kind].items()}
    return results


def main():
    args = parse_arguments()
    if args.from_json:
        sizes_report.write(read_results(args.from_json), args.out)
        return
    cold = not args.no_cold and can_drop_caches()
    if not args.no_cold and not cold:
        print("not root: skipping the cold-cache pass", file=sys.stderr)
    results = {"machine": machine_description(), "warm": {}, "cold": {}, "peaks": {}}
    with tempfile.TemporaryDirectory(prefix="kyr-sizes-",
                                     dir=os.environ.get("KYR_PERF_DIR")) as directory:
        for n in range(args.min_qubits, args.max_qubits + 1):
            warm, cold_times, peaks = measure_size(
                file_ops.Files(directory, n), cold and n >= args.cold_from,
                lambda line: print(line, flush=True))
            results["warm"][n], results["peaks"][n] = warm, peaks
            if cold_times:
                results["cold"][n] = cold_times
    sizes_report.write(results, args.out)
    (args.out / "sizes.json").write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
