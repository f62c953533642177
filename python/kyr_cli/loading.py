"""Loading a whole state through kyr, with failures as FileError."""

import kyr

from .errors import FileError


def load_state(path):
    try:
        return kyr.load(path)
    except (OSError, ValueError) as error:
        raise FileError(path, str(error)) from None
    except MemoryError:
        raise FileError(path, "not enough memory to load the state") from None
