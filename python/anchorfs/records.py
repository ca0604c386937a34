"""The records the commands take and return, as plain frozen dataclasses.

Numbers are unsigned 64-bit values as the helper prints them; devices are
``st_dev`` as one number (``stat -c %d`` prints the same).
"""

from __future__ import annotations

import os
from dataclasses import dataclass

# The largest content the helper creates, reads, hashes or deletes by content.
MAX_CONTENT_SIZE = 67108864  # 64 MiB


@dataclass(frozen=True)
class RootAnchor:
    """The root every command works below: its path and the identity it must still have."""

    path: str
    device: int
    inode: int
    uid: int


@dataclass(frozen=True)
class FileIdentity:
    """A regular file: device, inode, link count, owner uid and the whole mode word (0o100644, not 0o644)."""

    device: int
    inode: int
    link_count: int
    uid: int
    mode: int


@dataclass(frozen=True)
class FileDescription:
    """A regular file described completely: identity, size, mtime in nanoseconds and SHA-256 (lowercase hex)."""

    identity: FileIdentity
    size: int
    mtime_ns: int
    sha256: str


@dataclass(frozen=True)
class DirectoryIdentity:
    """What ensure-dir and ensure-private-dir report: device, inode, owner uid and whole mode word."""

    device: int
    inode: int
    uid: int
    mode: int


@dataclass(frozen=True)
class Bookmark:
    """What bookmark-parent reports about a directory. Store it unchanged; pass it back to the recover commands."""

    hex: str
    device: int
    inode: int
    uid: int


@dataclass(frozen=True)
class BookmarkedParent:
    """A directory found again by bookmark and by path, and a name in it: the recover commands' argument group.

    ``directory`` is the directory's path relative to the root, or ``"."`` for the root itself.
    """

    bookmark: str
    device: int
    inode: int
    uid: int
    directory: str
    leaf: str

    @classmethod
    def of(cls, bookmark: Bookmark, path: str | os.PathLike[str]) -> BookmarkedParent:
        """The group for the entry at ``path`` (relative to the root, a str or os.PathLike), whose parent was
        bookmarked by bookmark-parent of that same path."""
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError(f"expected a str path, got {type(text).__name__}")
        directory, slash, leaf = text.rpartition("/")
        return cls(bookmark.hex, bookmark.device, bookmark.inode, bookmark.uid, directory if slash else ".", leaf)
