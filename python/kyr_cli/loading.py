"""Loading a whole state through kyr, with failures as FileError."""

import os
import stat

import kyr

from .errors import FileError


def load_state(path):
    try:
        return kyr.load(path)
    except (OSError, ValueError) as error:
        raise FileError(path, str(error)) from None
    except MemoryError:
        raise FileError(path, "not enough memory to load the state") from None


def regular_size(path):
    """The size of `path` when it is a regular file, else 0 (what a progress bar can
    count on; the read itself reports any error)."""
    try:
        info = os.stat(path)
    except OSError:
        return 0
    return info.st_size if stat.S_ISREG(info.st_mode) else 0
