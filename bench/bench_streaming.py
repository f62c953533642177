"""Time StreamingConverter.process_chunk against the NumPy expression a user
would write for the same conversion, on one 1 MiB chunk.

Prints a Markdown table and writes it to bench/results/streaming.md.
"""

import pathlib
import platform
import time

import numpy as np

import kyr

CHUNK = 1 << 20
REPEATS = 30
RESULTS = pathlib.Path(__file__).parent / "results" / "streaming.md"


def best_seconds(function, repeats=REPEATS):
    """Fastest of `repeats` single calls: the least disturbed by other load."""
    function()  # warm up caches and the allocator
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        function()
        best = min(best, time.perf_counter_ns() - start)
    return best / 1e9


def main():
    chunk = np.random.default_rng(0).integers(0, 256, CHUNK, dtype=np.uint8).tobytes()
    converter = kyr.StreamingConverter(2 ** 63)
    timings = {
        "kyr `process_chunk`": best_seconds(lambda: converter.process_chunk(chunk)),
        "NumPy `(np.frombuffer(b, np.uint8) / 255.0) / np.sqrt(len(b))`": best_seconds(
            lambda: (np.frombuffer(chunk, np.uint8) / 255.0) / np.sqrt(len(chunk))),
    }
    baseline = timings["kyr `process_chunk`"]
    lines = [
        f"1 MiB chunk, best of {REPEATS}; {platform.processor() or platform.machine()}, "
        f"NumPy {np.__version__}",
        "",
        "| implementation | time (ms) | ns per byte | time / kyr |",
        "| --- | ---: | ---: | ---: |",
    ]
    for name, seconds in timings.items():
        lines.append(f"| {name} | {seconds * 1e3:.3f} | {seconds * 1e9 / CHUNK:.3f} | "
                     f"{seconds / baseline:.2f}x |")
    table = "\n".join(lines) + "\n"
    print(table, end="")
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text(table)


if __name__ == "__main__":
    main()
