"""Writing a .npy output so that a failed or interrupted write leaves no partial file.

A .kyr output is saved by KyrFile.save; this follows the same rules for the
.npy files the module cannot write, and tests/python/test_cli_save_rules.py
runs one table of cases against both:
- a symbolic link keeps pointing at the file it names, which is the one replaced;
- the replaced file's permission bits, owner (where the process may set it),
  access ACL and user.* extended attributes are kept; a new file gets 0666
  less the umask;
- the temporary file is 0600 until it is complete;
- a target that is not a regular file (a FIFO, a device) or has more than one
  hard link is written in place, as a rename would detach it.
"""

import contextlib
import errno
import os
import stat
import tempfile

CARRIED_ATTRIBUTES = ("system.posix_acl_access",)
CARRIED_PREFIXES = ("user.",)


@contextlib.contextmanager
def replacing(path):
    """Yields the path to write: a hidden temporary file beside `path` (or beside the
    file it links to), renamed over it when the block succeeds and removed when it
    fails, so `path` holds the old file or the new one."""
    target = os.path.realpath(path)
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    if existing is not None and (not stat.S_ISREG(existing.st_mode) or existing.st_nlink > 1):
        yield target
        return
    directory, name = os.path.split(target)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.converting-", dir=directory)
    try:
        try:
            yield temporary
            keep_attributes(descriptor, target, existing)
        finally:
            os.close(descriptor)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def keep_attributes(descriptor, target, existing):
    if existing is None:
        os.fchmod(descriptor, 0o666 & ~current_umask())
        return
    with contextlib.suppress(PermissionError):
        os.fchown(descriptor, existing.st_uid, existing.st_gid)
    os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))
    # Last: an access ACL sets the group bits (its mask) itself.
    for name in carried_attributes(target):
        os.setxattr(descriptor, name, os.getxattr(target, name))


def carried_attributes(target):
    try:
        names = os.listxattr(target)
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.ENOSYS):
            return []
        raise
    return [name for name in names
            if name in CARRIED_ATTRIBUTES or name.startswith(CARRIED_PREFIXES)]


def current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
