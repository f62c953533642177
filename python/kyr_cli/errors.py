"""How the command reports a file it cannot use.

Every command words a failure the same way, and the same way the module
does: an operating-system error on reading is "Read error: {system text}
(os error {code})", as kyr.load raises it, and on writing "Write error: ...",
as KyrFile.save raises it; a malformed file gets kyr.load's message.
"""

import sys


class FileError(Exception):
    """A file that cannot be used, and why; shown as "FILE: reason"."""

    def __init__(self, path, reason):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def system_text(error):
    """An OSError's text as the module renders it: "{system message} (os error {code})"."""
    if error.errno is None:
        return str(error)
    return f"{error.strerror} (os error {error.errno})"


def read_error(path, error):
    return FileError(path, f"Read error: {system_text(error)}")


def write_error(path, error):
    return FileError(path, f"Write error: {system_text(error)}")


def report(command, error):
    print(f"kyr {command}: {error}", file=sys.stderr, flush=True)
