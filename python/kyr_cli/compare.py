"""kyr compare: the fidelity of two files."""

from .arguments import FORMATTER, add_progress_option
from .errors import FileError, report
from .loading import load_state, regular_size
from .progress import progress_bar

DESCRIPTION = """\
Print the fidelity |<A|B>|^2 of the states in files A and B, as
KyrFile.fidelity computes it: no normalisation is applied, so for states
that are not normalised the value can exceed 1. Both files must hold the
same number of qubits. Both states are loaded whole (16 bytes per amplitude
each)."""

EPILOG = """\
example:
  kyr compare before.kyr after.kyr

exit status: 0 when the fidelity was printed, 1 if a file cannot be read or
the qubit counts differ, 2 for a usage error."""


def add_parser(commands):
    parser = commands.add_parser("compare", help="print the fidelity of two files",
                                 description=DESCRIPTION, epilog=EPILOG,
                                 formatter_class=FORMATTER)
    parser.add_argument("first", metavar="A", help="first .kyr file")
    parser.add_argument("second", metavar="B", help="second .kyr file")
    add_progress_option(parser)
    parser.set_defaults(run=run)


def run(args):
    total = regular_size(args.first) + regular_size(args.second)
    try:
        with progress_bar(f"compare {args.first} {args.second}", total, args.progress):
            first = load_state(args.first)
            second = load_state(args.second)
        if first.num_qubits != second.num_qubits:
            raise FileError(args.second, f"{second.num_qubits} qubits, but {args.first} has "
                                         f"{first.num_qubits}: the counts must match")
    except FileError as error:
        report("compare", error)
        return 1
    print(repr(first.fidelity(second)))
    return 0
