"""Turns bench_sizes.py's medians into docs/performance/sizes.md and sizes.png."""

import pathlib

# (column, kyr operation, peers): the ratio is the faster peer's time over
# kyr's, so above 1 means kyr is faster.
WARM_RATIOS = (
    ("load", "kyr.load", ("np.fromfile", "np.load")),
    ("save new", "kyr.save new", ("tofile new",)),
    ("save over", "kyr.save over", ("tofile over",)),
    ("verify", "kyr.verify", ("np.fromfile",)),
)
DISK = "disk (O_DIRECT)"
COLD_RATIOS = (
    ("load / np.fromfile", "kyr.load", ("np.fromfile",)),
    ("load / disk", "kyr.load", (DISK,)),
    ("verify / np.fromfile", "kyr.verify", ("np.fromfile",)),
    ("save / tofile", "kyr.save+fsync", ("tofile+fsync",)),
)
PEAK_COLUMNS = (("kyr.verify", "kyr.verify"), ("kyr.load", "kyr.load"),
                ("np.fromfile", "np.fromfile"))

READ_COLUMNS = ("kyr.load", "np.fromfile", "np.load", "h5py read", "kyr.verify")
WRITE_COLUMNS = ("kyr.save new", "tofile new", "kyr.save over", "tofile over", "np.save",
                 "h5py write")
COLD_READ_COLUMNS = READ_COLUMNS + (DISK,)
COLD_WRITE_COLUMNS = ("kyr.save+fsync", "tofile+fsync")
STYLE = {
    "kyr.load": "tab:blue", "kyr.verify": "tab:cyan", "np.fromfile": "tab:orange",
    "np.load": "tab:red", "h5py read": "tab:green", DISK: "black",
    "kyr.save new": "tab:blue", "kyr.save over": "tab:purple", "tofile new": "tab:orange",
    "tofile over": "tab:brown", "np.save": "tab:red", "h5py write": "tab:green",
    "kyr.save+fsync": "tab:blue", "tofile+fsync": "tab:orange",
}


def ratio(times, kyr_name, peers):
    if kyr_name not in times or not all(p in times for p in peers):
        return None
    return min(times[p] for p in peers) / times[kyr_name]


def state_bytes(n):
    return 16 << n


def gigabytes_per_second(n, seconds):
    return state_bytes(n) / seconds / 1e9


def two_decimals(value):
    return "–" if value is None else f"{value:.2f}"


def progress_line(n, warm, cold):
    ratios = "  ".join(f"{column} {two_decimals(ratio(warm, name, peers))}"
                       for column, name, peers in WARM_RATIOS)
    line = f"n={n:2d}  {ratios}"
    if cold:
        line += "  cold: " + "  ".join(f"{column} {two_decimals(ratio(cold, name, peers))}"
                                       for column, name, peers in COLD_RATIOS)
    return line


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def microseconds(seconds):
    us = seconds * 1e6
    return f"{us:.1f}" if us < 1000 else f"{us:.0f}"


def milliseconds(seconds):
    return f"{seconds * 1e3:.1f}"


def mib(count):
    return f"{count / 2**20:.1f}"


def timing_table(results, columns, unit):
    """n and one column per operation in `columns` that the run measured."""
    columns = [c for c in columns if any(c in times for times in results.values())]
    rows = [[str(n)] + [unit(times[c]) if c in times else "–" for c in columns]
            for n, times in results.items()]
    return table(["n"] + columns, rows)


def markdown(results):
    warm, cold, peaks = results["warm"], results["cold"], results["peaks"]
    parts = [
        f"Measured on: {results['machine']}.",
        "",
        "### Warm page cache: how much faster kyr is",
        "",
        "The peer's median time over kyr's: above 1 kyr is faster. Load is compared with the "
        "faster of `np.fromfile` and `np.load`, saves with `ndarray.tofile`, verify with "
        "`np.fromfile`.",
        "",
        table(["n", "state MiB"] + [column for column, _, _ in WARM_RATIOS],
              [[str(n), mib(state_bytes(n))]
               + [two_decimals(ratio(times, name, peers)) for _, name, peers in WARM_RATIOS]
               for n, times in warm.items()]),
        "",
        "### Warm page cache: reads, median µs",
        "",
        timing_table(warm, READ_COLUMNS, microseconds),
        "",
        "### Warm page cache: writes, median µs",
        "",
        timing_table(warm, WRITE_COLUMNS, microseconds),
        "",
        "### Peak memory beyond what the process held, MiB",
        "",
        table(["n"] + [label for label, _ in PEAK_COLUMNS],
              [[str(n)] + [mib(values[name]) for _, name in PEAK_COLUMNS]
               for n, values in peaks.items()]),
        "",
    ]
    if cold:
        parts += [
            "### Cold page cache: reads, median ms",
            "",
            timing_table(cold, COLD_READ_COLUMNS, milliseconds),
            "",
            "### Cold page cache: writes with fsync, median ms, and the ratios",
            "",
            "Ratios as above: the other's time over kyr's.",
            "",
            table(["n"] + list(COLD_WRITE_COLUMNS) + [c for c, _, _ in COLD_RATIOS],
                  [[str(n)] + [milliseconds(times[c]) if c in times else "–"
                               for c in COLD_WRITE_COLUMNS]
                   + [two_decimals(ratio(times, name, peers)) for _, name, peers in COLD_RATIOS]
                   for n, times in cold.items()]),
            "",
        ]
    return "\n".join(parts)


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (reads, writes) = plt.subplots(1, 2, figsize=(12, 6.5), sharey=True)
    panels = ((reads, COLD_READ_COLUMNS, "reads"),
              (writes, WRITE_COLUMNS + COLD_WRITE_COLUMNS, "writes"))
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
        axes.set_xlabel("qubits n (state = 16 × 2^n bytes)")
        axes.set_yscale("log")
        axes.grid(True, which="both", alpha=0.3)
        # Below the axes, never over the curves.
        axes.legend(fontsize="small", ncol=2, loc="upper center", bbox_to_anchor=(0.5, -0.13),
                    frameon=False)
    reads.set_ylabel("GB/s (higher is faster)")
    figure.tight_layout()
    figure.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(figure)


def write(results, directory):
    """Writes sizes.md and sizes.png into `directory`."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "sizes.md").write_text(markdown(results))
    plot(results, directory / "sizes.png")
