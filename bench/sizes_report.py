"""Turns bench_sizes.py's medians into docs/performance/sizes.md and sizes.png."""

import pathlib

# (column, kyr operation, peers): the ratio is the faster peer's time over
# kyr's, so above 1 means kyr is faster. These are the performance goals'.
WARM_RATIOS = (
    ("load", "kyr.load", ("np.fromfile", "np.load")),
    ("save new", "kyr.save new", ("tofile new",)),
    ("save over", "kyr.save over", ("tofile over",)),
    ("verify", "kyr.verify", ("np.fromfile",)),
)
COLD_RATIOS = (
    ("load / np.fromfile", "kyr.load", ("np.fromfile",)),
    ("load / dd", "kyr.load", ("dd O_DIRECT",)),
    ("verify / np.fromfile", "kyr.verify", ("np.fromfile",)),
    ("save+fsync / tofile+fsync", "kyr.save+fsync", ("tofile+fsync",)),
)
# The warm goals hold at every n up to this one.
GOAL_MAX_QUBITS = 26

READ_COLUMNS = ("kyr.load", "np.fromfile", "np.load", "h5py read", "kyr.verify")
WRITE_COLUMNS = ("kyr.save new", "tofile new", "kyr.save over", "tofile over", "np.save",
                 "h5py write")
COLD_COLUMNS = READ_COLUMNS + ("dd O_DIRECT", "kyr.save+fsync", "tofile+fsync")
STYLE = {
    "kyr.load": "tab:blue", "kyr.verify": "tab:cyan", "np.fromfile": "tab:orange",
    "np.load": "tab:red", "h5py read": "tab:green", "dd O_DIRECT": "black",
    "kyr.save new": "tab:blue", "kyr.save over": "tab:purple", "tofile new": "tab:orange",
    "tofile over": "tab:brown", "np.save": "tab:red", "h5py write": "tab:green",
    "kyr.save+fsync": "tab:blue", "tofile+fsync": "tab:orange",
}


def ratio(times, kyr_name, peers):
    return min(times[p] for p in peers) / times[kyr_name]


def state_bytes(n):
    return 16 << n


def gigabytes_per_second(n, seconds):
    return state_bytes(n) / seconds / 1e9


def progress_line(n, warm, cold):
    ratios = "  ".join(f"{column} {ratio(warm, name, peers):.2f}"
                       for column, name, peers in WARM_RATIOS)
    line = f"n={n:2d}  {ratios}"
    if cold:
        line += "  cold: " + "  ".join(f"{column} {ratio(cold, name, peers):.2f}"
                                       for column, name, peers in COLD_RATIOS)
    return line


def summary(results, need):
    lines = []
    for column, name, peers in WARM_RATIOS:
        measured = [(ratio(times, name, peers), n) for n, times in results["warm"].items()
                    if n <= GOAL_MAX_QUBITS]
        if not measured:
            continue
        worst, n = min(measured)
        verdict = "PASS" if worst >= need else "FAIL"
        lines.append(f"{verdict} {column}: worst warm ratio {worst:.2f} at n={n} (need >= {need})")
    return lines


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def microseconds(seconds):
    us = seconds * 1e6
    return f"{us:.1f}" if us < 1000 else f"{us:.0f}"


def mib(count):
    return f"{count / 2**20:.1f}"


def markdown(results, need):
    warm, cold, peaks = results["warm"], results["cold"], results["peaks"]
    parts = [
        "Made by `bench/bench_sizes.py`, which also draws `sizes.png` and keeps the raw "
        "medians in `sizes.json`. Every operation moves one whole n-qubit state, "
        f"16 × 2^n bytes. Machine: {results['machine']}.",
        "",
        "Warm page cache: the median of repeated calls in one process after one call that is "
        "not counted; the result of each call is freed inside its timing. A save to a new file "
        "removes the target first (untimed); a save over an existing file replaces the one the "
        "previous call wrote. Ratios are the peer's time over kyr's: above 1 kyr is faster. "
        "Load is compared with the faster of `np.fromfile` and `np.load`, saves with "
        "`ndarray.tofile`, verify with `np.fromfile`. Peak memory is measured once per "
        "operation in a fresh process: the high-water mark of its resident set above what "
        "it held before the call, the loaded state included.",
        "",
        "## Warm page cache: kyr against its peers",
        "",
    ]
    rows = []
    for n, times in warm.items():
        rows.append([str(n), mib(state_bytes(n))]
                    + [f"{ratio(times, name, peers):.2f}" for _, name, peers in WARM_RATIOS]
                    + [mib(peaks[n]["kyr.verify"]), mib(peaks[n]["kyr.load"]),
                       mib(peaks[n]["np.fromfile"])])
    parts += [table(["n", "state MiB"] + [column for column, _, _ in WARM_RATIOS]
                    + ["verify peak extra MiB", "load peak extra MiB",
                       "np.fromfile peak extra MiB"], rows), ""]
    parts += [f"Goals, over n <= {GOAL_MAX_QUBITS}:", ""]
    parts += [f"- {line}" for line in summary(results, need)]
    parts += ["", "## Warm page cache: median microseconds", ""]
    columns = READ_COLUMNS + WRITE_COLUMNS
    parts += [table(["n"] + list(columns),
                    [[str(n)] + [microseconds(times[c]) for c in columns]
                     for n, times in warm.items()]), ""]
    if cold:
        parts += [
            "## Cold page cache: median milliseconds",
            "",
            "`sync; echo 1 > /proc/sys/vm/drop_caches` before every call; `dd O_DIRECT` is "
            "`dd bs=64M iflag=direct` reading the raw file, the disk's own rate. The writes are "
            "each followed by `fsync` of the file, after a `sync` of everything else (untimed).",
            "",
        ]
        parts += [table(["n"] + list(COLD_COLUMNS) + [c for c, _, _ in COLD_RATIOS],
                        [[str(n)] + [f"{times[c] * 1e3:.1f}" for c in COLD_COLUMNS]
                         + [f"{ratio(times, name, peers):.2f}" for _, name, peers in COLD_RATIOS]
                         for n, times in cold.items()]), ""]
    return "\n".join(parts) + "\n"


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (reads, writes) = plt.subplots(1, 2, figsize=(13, 5), sharey=True)
    panels = ((reads, READ_COLUMNS + ("dd O_DIRECT",), "reads"),
              (writes, WRITE_COLUMNS + ("kyr.save+fsync", "tofile+fsync"), "writes"))
    for axes, names, title in panels:
        for name in names:
            for kind, dashes in (("warm", "-"), ("cold", "--")):
                points = [(n, gigabytes_per_second(n, times[name]))
                          for n, times in results[kind].items() if name in times]
                if points:
                    xs, ys = zip(*points)
                    axes.plot(xs, ys, dashes, color=STYLE[name], marker=".",
                              label=f"{name} ({kind})")
        axes.set_title(f"{title}: solid warm page cache, dashed cold")
        axes.set_xlabel("qubits (state = 16 × 2^n bytes)")
        axes.set_yscale("log")
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize="small")
    reads.set_ylabel("GB/s")
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)


def write(results, directory, need):
    """Writes sizes.md and sizes.png into `directory`; returns the goal summary."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "sizes.md").write_text(markdown(results, need))
    plot(results, directory / "sizes.png")
    return summary(results, need)
