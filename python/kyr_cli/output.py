"""Writing an output file so that a failed or interrupted write leaves no partial file."""

import contextlib
import os
import tempfile

from .errors import FileError, os_reason


@contextlib.contextmanager
def replacing(path):
    """Yields a hidden temporary path beside `path`, renamed over `path` when the block
    succeeds and removed when it fails, so `path` holds the old file or the new one."""
    directory, name = os.path.split(os.path.abspath(path))
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.converting-", dir=directory)
    except OSError as error:
        raise FileError(path, os_reason(error)) from None
    os.close(descriptor)
    try:
        yield temporary
        os.chmod(temporary, 0o666 & ~current_umask())  # mkstemp makes it 0600
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
