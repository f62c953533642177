"""Prints the peak extra resident memory, in bytes, of one read operation.

    python bench/peak_memory.py OPERATION DIRECTORY QUBITS

Run by bench_sizes.py in a fresh process per measurement, on the inputs it
wrote to DIRECTORY. The kernel's high-water mark of this process's resident
set is reset after the imports (/proc/self/clear_refs), so the figure is the
operation's own: the peak (VmHWM) minus the resident set before the call,
with the call's result still alive. VmHWM rather than ru_maxrss: after exec,
ru_maxrss never reports less than the parent's size when it started this
process, and clear_refs does not reset that.
"""

import gc
import sys

import file_ops


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field}")


def main(name, directory, n):
    operation = file_ops.READS[name]
    files = file_ops.Files(directory, n)
    gc.collect()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    before = status_kib("VmRSS")
    result = operation.run(files, None)
    print((status_kib("VmHWM") - before) * 1024)
    del result


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
