"""kyr info: what a file holds."""

import os

import numpy as np

from .errors import FileError, os_reason, report
from .arguments import FORMATTER, positive_int
from .layout import read_header
from .loading import load_state
from .streaming import read_amplitudes

DESCRIPTION = """\
Show, for each FILE: the qubit count, the file size, the bond dimension and
the Golay flag stored in the header, the squared norm (sum of |amplitude|^2,
summed in index order as kyr does), whether the state is normalised (the
squared norm within 1e-10 of 1, KyrFile.is_normalized()), and the most
probable basis states with their probabilities. Basis states are written as
bit strings with qubit 0 rightmost (Qiskit's order); zero and NaN
probabilities are not listed.

The whole state is loaded (16 bytes per amplitude: 16 GiB at 30 qubits);
the ranking reads the file again through a 16 MiB buffer."""

EPILOG = """\
example:
  kyr info bell.kyr
  kyr info --top 10 results/*.kyr

exit status: 0 if every FILE could be read, 1 otherwise (the others are
still shown), 2 for a usage error."""


def add_parser(commands):
    parser = commands.add_parser("info", help="show what a file holds", description=DESCRIPTION,
                                 epilog=EPILOG, formatter_class=FORMATTER)
    parser.add_argument("files", nargs="+", metavar="FILE", help=".kyr file to describe")
    parser.add_argument("--top", type=positive_int, default=5, metavar="K",
                        help="how many of the most probable basis states to list (default: 5)")
    parser.set_defaults(run=run)


def run(args):
    status = 0
    shown = 0
    for path in args.files:
        try:
            lines = describe(path, args.top)
        except FileError as error:
            report("info", error)
            status = 1
            continue
        if shown:
            print()
        print("\n".join(lines), flush=True)
        shown += 1
    return status


def describe(path, top):
    state = load_state(path)
    try:
        size = os.stat(path).st_size
    except OSError as error:
        raise FileError(path, os_reason(error)) from None
    norm = state.norm_squared()
    ranked = most_probable(read_amplitudes(path, read_header(path)), top)
    lines = [
        path,
        f"  qubits          {state.num_qubits}",
        f"  file size       {size} bytes{readable_size(size)}",
        f"  bond dimension  {state.bond_dimension}",
        f"  Golay flag      {'on' if state.golay_enabled else 'off'}",
        f"  squared norm    {norm!r}",
        f"  normalised      {'yes' if state.is_normalized() else 'no'}",
        "  most probable basis states:",
    ]
    lines += [f"    |{index:0{state.num_qubits}b}>  {probability!r}" for index, probability in ranked]
    if not ranked:
        lines.append("    (none: every probability is zero or NaN)")
    return lines


def readable_size(size):
    if size < 1024:
        return ""
    for unit in ("KiB", "MiB", "GiB"):
        size /= 1024
        if size < 1024 or unit == "GiB":
            return f" ({size:.1f} {unit})"


def most_probable(chunks, count):
    """The `count` largest positive probabilities as (index, probability), largest
    first, ties in index order, from (start, amplitudes) chunks."""
    best_index = np.empty(0, dtype=np.int64)
    best_probability = np.empty(0)
    for start, block in chunks:
        probability = block.real * block.real + block.imag * block.imag
        index = largest_positive(probability, count)
        best_index = np.concatenate([best_index, index + start])
        best_probability = np.concatenate([best_probability, probability[index]])
        order = np.lexsort((best_index, -best_probability))[:count]
        best_index, best_probability = best_index[order], best_probability[order]
    return [(int(i), float(p)) for i, p in zip(best_index, best_probability)]


def largest_positive(probability, count):
    """Indices of the `count` largest positive values, preferring lower indices among ties."""
    candidates = np.flatnonzero(probability > 0)  # drops zeros and NaN
    if len(candidates) <= count:
        return candidates
    values = probability[candidates]
    threshold = np.partition(values, len(values) - count)[len(values) - count]
    above = candidates[values > threshold]
    tied = candidates[values == threshold][:count - len(above)]
    return np.sort(np.concatenate([above, tied]))
