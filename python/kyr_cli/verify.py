"""kyr verify: one line per file, OK or FAILED."""

import os
import stat

import kyr

from .arguments import FORMATTER, add_progress_option
from .errors import FileError, read_error, report
from .layout import read_header
from .progress import progress_bar

DESCRIPTION = """\
Check each FILE with kyr.verify: the header is valid (magic, qubit count
1-30), the file holds all 2^n amplitudes, and the squared norm is within
1e-6 of 1 (no NaN). There is no checksum: a flipped bit in an amplitude
that keeps the norm within the tolerance is not detected.

Prints "FILE: OK" or "FAILED" on standard output, one line per file in the
order given, and the reason for each failure on standard error, worded as
kyr.load words it. The header and the length are checked first, so a file
that fails them is not read further; a file that fails on its norm is not
read twice ("kyr info FILE" shows the squared norm). Memory use stays small
whatever the file size."""

EPILOG = """\
example:
  kyr verify results/*.kyr

exit status: 0 if every FILE passes, 1 if any fails, 2 for a usage error."""

NORM_FAILURE = ("squared norm not within 1e-6 of 1, or an amplitude is NaN "
                "(kyr info shows the squared norm)")
UNREADABLE_TWICE = "failed verification (not a regular file, so not read again to find why)"


def add_parser(commands):
    parser = commands.add_parser("verify", help="check files (header, length, norm)",
                                 description=DESCRIPTION, epilog=EPILOG,
                                 formatter_class=FORMATTER)
    parser.add_argument("files", nargs="+", metavar="FILE", help=".kyr file to check")
    add_progress_option(parser)
    parser.set_defaults(run=run)


def run(args):
    status = 0
    for path in args.files:
        reason = failure(path, args.progress)
        print(f"{path}: {'OK' if reason is None else 'FAILED'}", flush=True)
        if reason is not None:
            report("verify", FileError(path, reason))
            status = 1
    return status


def failure(path, show_progress):
    """None when `path` passes kyr.verify, else why it fails.

    A regular file's header and length are checked first: a file that fails
    them fails kyr.verify too, which would read all of it to say so. After a
    failure they are checked again, in case the file changed; if they still
    hold, the norm is what failed."""
    try:
        kind = os.stat(path).st_mode
    except OSError as error:
        return read_error(path, error).reason
    regular = stat.S_ISREG(kind)
    if regular or stat.S_ISDIR(kind):
        try:
            header = read_header(path)
        except FileError as error:
            return error.reason
    size = header.file_size if regular else 0
    with progress_bar(f"verify {path}", size, show_progress):
        passed = kyr.verify(path)
    if passed:
        return None
    if not regular:
        return UNREADABLE_TWICE
    try:
        read_header(path)
    except FileError as error:
        return error.reason
    return NORM_FAILURE
