"""kyr verify: one line per file, OK or FAILED."""

import math

import kyr

from .errors import FileError, report
from .arguments import FORMATTER
from .layout import read_header
from .streaming import read_amplitudes

TOLERANCE = 1e-6  # kyr.verify's fixed tolerance on the squared norm

DESCRIPTION = """\
Check each FILE with kyr.verify: the header is valid (magic, qubit count
1-30), the file holds all 2^n amplitudes, and the squared norm is within
1e-6 of 1 (no NaN). There is no checksum: a flipped bit in an amplitude
that keeps the norm within the tolerance is not detected.

Prints "FILE: OK" or "FILE: FAILED" on standard output, one line per file in
the order given, and the reason for each failure on standard error.
Memory use stays small whatever the file size."""

EPILOG = """\
example:
  kyr verify results/*.kyr

exit status: 0 if every FILE passes, 1 if any fails, 2 for a usage error."""


def add_parser(commands):
    parser = commands.add_parser("verify", help="check files (header, length, norm)",
                                 description=DESCRIPTION, epilog=EPILOG,
                                 formatter_class=FORMATTER)
    parser.add_argument("files", nargs="+", metavar="FILE", help=".kyr file to check")
    parser.set_defaults(run=run)


def run(args):
    status = 0
    for path in args.files:
        passed = kyr.verify(path)
        print(f"{path}: {'OK' if passed else 'FAILED'}", flush=True)
        if not passed:
            report("verify", FileError(path, failure_reason(path)))
            status = 1
    return status


def failure_reason(path):
    """Why kyr.verify refused `path`, found by reading it again."""
    norm = 0.0
    try:
        for _, block in read_amplitudes(path, read_header(path)):
            values = block.view("<f8")
            norm += float(values @ values)
    except FileError as error:
        return error.reason
    if math.isnan(norm):
        return "an amplitude is NaN"
    if abs(norm - 1) < TOLERANCE:
        return "failed, but a second reading found a valid state (was it being written?)"
    return f"squared norm {norm!r} is not within 1e-6 of 1"
