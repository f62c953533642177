"""kyr info: what a file holds."""

import os

from .arguments import FORMATTER, add_progress_option, positive_int
from .errors import FileError, read_error, report
from .layout import read_header
from .loading import load_state, regular_size
from .progress import progress_bar

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
    add_progress_option(parser)
    parser.set_defaults(run=run)


def run(args):
    status = 0
    shown = 0
    for path in args.files:
        try:
            lines = describe(path, args.top, args.progress)
        except FileError as error:
            report("info", error)
            status = 1
            continue
        if shown:
            print()
        print("\n".join(lines), flush=True)
        shown += 1
    return status


def describe(path, top, show_progress):
    # The load reads the file once, the ranking a second time.
    with progress_bar(f"info {path}", 2 * regular_size(path), show_progress):
        state = load_state(path)
        try:
            size = os.stat(path).st_size
        except OSError as error:
            raise read_error(path, error) from None
        norm = state.norm_squared()
        ranked = rank(path, top)
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


def rank(path, top):
    from .ranking import most_probable  # NumPy, imported only when needed
    from .streaming import read_amplitudes

    return most_probable(read_amplitudes(path, read_header(path)), top)
