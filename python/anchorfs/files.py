"""Filling requests in from the file system: root anchors, file identities and descriptions, and fresh
durable quarantine leaves. Failures are OSError with the errno that says why."""

from __future__ import annotations

import errno
import hashlib
import os
import stat

from .records import MAX_CONTENT_SIZE, FileDescription, FileIdentity, RootAnchor

QUARANTINE_PREFIX = ".vor-native-quarantine-"

_CHUNK = 1 << 20


def _refused(code: int, path: str | os.PathLike[str] | int) -> OSError:
    return OSError(code, os.strerror(code), path)


def anchor_root(path: str | os.PathLike[str]) -> RootAnchor:
    """The anchor of the directory at ``path`` (a str or os.PathLike; the anchor keeps it as a str) as it is
    now: device, inode and owner uid.

    Raises OSError: ELOOP when the last component is a symbolic link (the helper will not follow it either),
    ENOTDIR when it is not a directory, and open's errors (ENOENT, EACCES, ...).
    """
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError(f"expected a str path, got {type(path).__name__}")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except NotADirectoryError:
        if stat.S_ISLNK(os.lstat(path).st_mode):
            raise _refused(errno.ELOOP, path) from None
        raise
    try:
        status = os.fstat(fd)
    finally:
        os.close(fd)
    return RootAnchor(path, status.st_dev, status.st_ino, status.st_uid)


def _identity(status: os.stat_result) -> FileIdentity:
    return FileIdentity(status.st_dev, status.st_ino, status.st_nlink, status.st_uid, status.st_mode)


def identity(path: str | os.PathLike[str], *, dir_fd: int | None = None) -> FileIdentity:
    """The identity of the regular file at ``path`` (a symbolic link is not followed).

    Raises OSError: EINVAL when it is not a regular file (a symbolic link included), and stat's errors
    (ENOENT, ENOTDIR, EACCES, ...)."""
    status = os.stat(path, dir_fd=dir_fd, follow_symlinks=False)
    if not stat.S_ISREG(status.st_mode):
        raise _refused(errno.EINVAL, path)
    return _identity(status)


def _same_while_hashed(before: os.stat_result, after: os.stat_result) -> bool:
    # The change time too: a file whose status moved in any of these was changed while it was read.
    fields = ("st_dev", "st_ino", "st_nlink", "st_uid", "st_mode", "st_size", "st_mtime_ns", "st_ctime_ns")
    return all(getattr(before, f) == getattr(after, f) for f in fields)


def describe_fd(fd: int) -> FileDescription:
    """The description of the regular file open at ``fd``, hashed from offset 0 with pread (the offset is
    not moved). Refused: not a regular file (EINVAL), above 64 MiB (EFBIG), modified before the epoch
    (ERANGE), changed while it was hashed (ESTALE).

    Raises OSError with those errnos, and fstat's or pread's (EBADF, EIO, ...)."""
    before = os.fstat(fd)
    if not stat.S_ISREG(before.st_mode):
        raise _refused(errno.EINVAL, fd)
    if before.st_size > MAX_CONTENT_SIZE:
        raise _refused(errno.EFBIG, fd)
    if before.st_mtime_ns < 0:
        raise _refused(errno.ERANGE, fd)
    digest = hashlib.sha256()
    offset = 0
    # One read past the size must find the end: a file that grew is refused.
    while chunk := os.pread(fd, _CHUNK, offset):
        offset += len(chunk)
        if offset > before.st_size:
            raise _refused(errno.ESTALE, fd)
        digest.update(chunk)
    after = os.fstat(fd)
    if offset != before.st_size or not _same_while_hashed(before, after):
        raise _refused(errno.ESTALE, fd)
    return FileDescription(_identity(after), after.st_size, after.st_mtime_ns, digest.hexdigest())


def describe_file(path: str | os.PathLike[str], *, dir_fd: int | None = None) -> FileDescription:
    """describe_fd of the name ``path``, opened without following a symbolic link in its last component and
    without blocking on a FIFO.

    Raises OSError: describe_fd's errors, ELOOP for a symbolic link, and open's errors (ENOENT, EACCES, ...)."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    try:
        return describe_fd(fd)
    finally:
        os.close(fd)


def new_quarantine_leaf() -> str:
    """A fresh durable quarantine leaf: the prefix and 32 lowercase hexadecimal digits from the kernel's
    random source."""
    return QUARANTINE_PREFIX + os.urandom(16).hex()


def status_below(root: RootAnchor, path: str) -> os.stat_result:
    """The status of the entry at the relative ``path`` below ``root``, reached one name at a time from the
    root without following a symbolic link (ELOOP), the root proven to be the anchored directory first
    (ESTALE otherwise)."""
    fd = os.open(root.path, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        status = os.fstat(fd)
        if (status.st_dev, status.st_ino, status.st_uid) != (root.device, root.inode, root.uid):
            raise _refused(errno.ESTALE, root.path)
        *directories, leaf = path.split("/")
        for name in directories:
            next_fd = os.open(name, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=fd)
            os.close(fd)
            fd = next_fd
        return os.stat(leaf, dir_fd=fd, follow_symlinks=False)
    finally:
        os.close(fd)
