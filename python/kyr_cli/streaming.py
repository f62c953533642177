"""Reading a file's values through one buffer of 16 MiB, so memory use stays
small whatever the file size."""

import numpy as np

from .errors import FileError, read_error
from .layout import HEADER_SIZE

AMPLITUDE = np.dtype("<c16")

CHUNK_BYTES = 16 << 20


def read_values(path, offset, dtype, count):
    """Yields (start, values): `count` values of `dtype` stored from byte `offset` of
    `path`, in chunks. Each chunk is only valid until the next one is read."""
    dtype = np.dtype(dtype)
    buffer = np.empty(CHUNK_BYTES // dtype.itemsize, dtype=dtype)
    try:
        with open(path, "rb") as file:
            file.seek(offset)
            for start in range(0, count, len(buffer)):
                wanted = min(len(buffer), count - start)
                got = file.readinto(buffer[:wanted].view(np.uint8)) // dtype.itemsize
                if got < wanted:
                    raise FileError(path, f"ended after {start + got} of {count} values "
                                          "(changed while being read?)")
                yield start, buffer[:wanted]
    except OSError as error:
        raise read_error(path, error) from None


def read_amplitudes(path, header):
    """The amplitudes of a .kyr file whose header was checked, chunk by chunk."""
    return read_values(path, HEADER_SIZE, AMPLITUDE, header.dimension)
