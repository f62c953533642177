"""How the command reports a file it cannot use."""

import sys


class FileError(Exception):
    """A file that cannot be used, and why; shown as "FILE: reason"."""

    def __init__(self, path, reason):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def os_reason(error):
    """The system's text for an OSError, without Python's "[Errno N]" and path decoration."""
    return error.strerror or str(error)


def report(command, error):
    print(f"kyr {command}: {error}", file=sys.stderr)
