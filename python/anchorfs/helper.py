"""The helper and its twenty commands, one method each."""

from __future__ import annotations

import os
import shutil
from collections.abc import Callable
from typing import BinaryIO

from . import _location
from .errors import HelperError
from .process import Input, exchange
from .records import (MAX_CONTENT_SIZE, Bookmark, BookmarkedParent, DirectoryIdentity, FileDescription,
                      FileIdentity, RootAnchor)
from .result_line import Command, Races, Shape, content_allowance, interpret

Data = bytes | bytearray | memoryview | BinaryIO
Path = str | os.PathLike[str]

# The command table: name, success shape, race codes it can report.
BOOKMARK_PARENT = Command("bookmark-parent", Shape.BOOKMARK)
RECOVER_UNLINK = Command("recover-unlink")
RECOVER_RENAME = Command("recover-rename")
RECOVER_SWAP = Command("recover-swap")
RECOVER_LINK = Command("recover-link")
RENAME_EXCL = Command("rename-excl", races=Races.BOTH)
LINK_EXCL = Command("link-excl", races=Races.BOTH)
RENAME_SWAP = Command("rename-swap", races=Races.BOTH)
UNLINK_CHECKED = Command("unlink-checked", races=Races.BOTH)
QUARANTINE_PRIVATE_TREE = Command("quarantine-private-tree")
REMOVE_PRIVATE_TREE = Command("remove-private-tree")
CREATE_PRIVATE_FILE_STAGED = Command("create-private-file-staged", races=Races.PRESERVED_ONLY)
REMOVE_PRIVATE_STAGING_FILE = Command("remove-private-staging-file")
READ_PRIVATE_FILE = Command("read-private-file", Shape.SIZE)
READ_EXTERNAL_FILE = Command("read-external-file", Shape.SIZE)
REMOVE_PRIVATE_FILE = Command("remove-private-file")
ENSURE_DIR = Command("ensure-dir", Shape.DIRECTORY, Races.PRESERVED_ONLY)
ENSURE_PRIVATE_DIR = Command("ensure-private-dir", Shape.DIRECTORY, Races.PRESERVED_ONLY)
CREATE_FILE = Command("create-file", races=Races.BOTH)
CREATE_PRIVATE_FILE = Command("create-private-file", races=Races.BOTH)


def _number(value: int) -> str:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"expected an int, got {type(value).__name__}")
    if not 0 <= value < 1 << 64:
        raise ValueError(f"{value} is not an unsigned 64-bit number")
    return str(value)


def _text(value: Path) -> str:
    text = os.fspath(value)
    if not isinstance(text, str):
        raise TypeError(f"expected a str path, got {type(text).__name__}")
    if "\0" in text:
        raise ValueError("a NUL character cannot be passed as an argument")
    return text


def _identity(file: FileIdentity) -> list[str]:
    return [_number(n) for n in (file.device, file.inode, file.link_count, file.uid, file.mode)]


def _description(file: FileDescription) -> list[str]:
    return _identity(file.identity) + [_number(file.size), _number(file.mtime_ns), _text(file.sha256)]


def _parent(group: BookmarkedParent) -> list[str]:
    return [_text(group.bookmark), _number(group.device), _number(group.inode), _number(group.uid),
            _text(group.directory), _text(group.leaf)]


def installed_program() -> str | None:
    """The program `cmake --install` put beside this package, if this is such an install and it is there."""
    if _location.PROGRAM is None:
        return None
    path = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), _location.PROGRAM))
    return path if os.access(path, os.X_OK) else None


class Helper:
    """The anchorfs program, run once per command with no shell, an empty environment and nothing on its
    standard error.

    ``binary`` is the program's path (a bare name is looked up on PATH); without it the program installed
    beside this package is used, else ``anchorfs`` on PATH. ``timeout`` bounds each run in seconds; a run
    that takes longer is killed and raises HelperTimeout.

    Every method raises Error (or the subclass its code names) for a failure line, with the code and errno,
    and HelperError when the program could not be run or its output broke the protocol. A failure line
    means what the protocol says it leaves on disk; a HelperError (exit status 11: ResultNotDelivered) means
    a mutating command may have taken effect: re-check, or run the matching recover command.
    """

    def __init__(self, binary: Path | None = None, timeout: float | None = None) -> None:
        if binary is not None:
            path = _text(binary)
            if "/" not in path:
                path = shutil.which(path) or path
        else:
            path = installed_program() or shutil.which("anchorfs") or ""
            if not path:
                raise FileNotFoundError("the anchorfs program is neither installed beside the package nor on PATH")
        if "/" not in path:
            raise FileNotFoundError(f"{path!r} is not on PATH")
        self.binary = path
        self.timeout = timeout

    def __repr__(self) -> str:
        return f"Helper({self.binary!r}, timeout={self.timeout!r})"

    def _run(self, command: Command, root: RootAnchor, args: list[str], data: Data | None = None,
             size_bound: int = 0, sink: Callable[[bytes], object] | None = None) -> DirectoryIdentity | Bookmark | int | None:
        argv = [self.binary, command.name, _text(root.path), _number(root.device), _number(root.inode),
                _number(root.uid), *args]
        content = Input(data)
        if data is not None:
            argv.append(_number(content.size))
        try:
            output = exchange(argv, content, self.timeout, lambda head: content_allowance(command, head, size_bound),
                              sink or (lambda _: None))
        except OSError as error:
            raise HelperError(command.name, "spawn_failed", error.errno or 0) from error
        return interpret(command, output)

    def _read(self, command: Command, root: RootAnchor, args: list[str], max_size: int,
              sink: BinaryIO | None) -> bytes | int:
        if sink is not None:
            size = self._run(command, root, args, size_bound=max_size, sink=sink.write)
            assert isinstance(size, int)
            return size
        chunks: list[bytes] = []
        self._run(command, root, args, size_bound=max_size, sink=chunks.append)
        return b"".join(chunks)

    # -- bookmarks and recovery ---------------------------------------------------------------------------

    def bookmark_parent(self, root: RootAnchor, path: Path) -> Bookmark:
        """Bookmark and identity of the parent directory of ``path`` (which need not exist; for a single name
        the root). Changes nothing. Keep it with BookmarkedParent.of(bookmark, path) for a recover command."""
        result = self._run(BOOKMARK_PARENT, root, [_text(path)])
        assert isinstance(result, Bookmark)
        return result

    def recover_unlink(self, root: RootAnchor, source: BookmarkedParent, staging: BookmarkedParent,
                       quarantine: BookmarkedParent, file: FileDescription) -> None:
        """Finishes an interrupted unlink_checked: wherever the described file is (source, staging or
        quarantine name), it is carried forward and deleted while it still has that content. All three names
        absent: success at once. Idempotent; a failure leaves the file under one name for a later run."""
        self._run(RECOVER_UNLINK, root, _parent(source) + _parent(staging) + _parent(quarantine)
                  + _description(file))

    def recover_rename(self, root: RootAnchor, source: BookmarkedParent, destination: BookmarkedParent,
                       file: FileDescription) -> None:
        """Returns an interrupted rename_excl to the state before it: the file at the source and the
        destination free, moving it back if needed. Any other state: IdentityChanged, nothing changed."""
        self._run(RECOVER_RENAME, root, _parent(source) + _parent(destination) + _description(file))

    def recover_swap(self, root: RootAnchor, a: BookmarkedParent, b: BookmarkedParent, file1: FileDescription,
                     file2: FileDescription) -> None:
        """Undoes an interrupted rename_swap: swapped names are swapped back so that A holds file 1 and B
        file 2; already so: nothing done. Any other state: IdentityChanged, nothing changed."""
        self._run(RECOVER_SWAP, root, _parent(a) + _parent(b) + _description(file1) + _description(file2))

    def recover_link(self, root: RootAnchor, source: BookmarkedParent, destination: BookmarkedParent,
                     staging: BookmarkedParent, quarantine: BookmarkedParent, file: FileDescription) -> None:
        """Undoes an interrupted link_excl: the extra link, wherever it is, is carried to the quarantine name
        and deleted by content, until the source shows the file with the link count it had before (``file``).
        It never deletes a file's last name."""
        self._run(RECOVER_LINK, root, _parent(source) + _parent(destination) + _parent(staging)
                  + _parent(quarantine) + _description(file))

    # -- checked mutations --------------------------------------------------------------------------------

    def rename_excl(self, root: RootAnchor, source: Path, destination: Path, identity: FileIdentity) -> None:
        """Renames the file of ``identity`` at ``source`` to the free name ``destination``, never replacing
        anything. A failed check after the rename raises RaceRolledBack (back under the source) or
        RacePreserved (left at the destination). Interrupted: recover_rename."""
        self._run(RENAME_EXCL, root, [_text(source), _text(destination)] + _identity(identity))

    def link_excl(self, root: RootAnchor, source: Path, destination: Path, staging: Path, quarantine: Path,
                  description: FileDescription) -> None:
        """Gives the described file (link count as before the link) the free second name ``destination``.
        A failed check afterwards takes the link away through ``staging`` and ``quarantine`` (one directory,
        the quarantine's leaf from new_quarantine_leaf) and raises RaceRolledBack, or raises RacePreserved.
        Interrupted: recover_link."""
        self._run(LINK_EXCL, root, [_text(source), _text(destination), _text(staging), _text(quarantine)]
                  + _description(description))

    def rename_swap(self, root: RootAnchor, a: Path, b: Path, file1: FileIdentity, file2: FileIdentity) -> None:
        """Atomically exchanges file 1 under ``a`` and file 2 under ``b``. RaceRolledBack is raised only when
        the tree is back as before, never for a tree left swapped. Interrupted: recover_swap."""
        self._run(RENAME_SWAP, root, [_text(a), _text(b)] + _identity(file1) + _identity(file2))

    def unlink_checked(self, root: RootAnchor, source: Path, staging: Path, quarantine: Path,
                       description: FileDescription) -> None:
        """Deletes the file at ``source`` only while it has the described identity and content: it is moved
        to the free ``staging`` name, then to the free ``quarantine`` name in the same directory, and deleted
        there. A file with other content is never deleted. Interrupted or failed after the first move:
        recover_unlink finishes it."""
        self._run(UNLINK_CHECKED, root, [_text(source), _text(staging), _text(quarantine)]
                  + _description(description))

    # -- the private store --------------------------------------------------------------------------------

    def quarantine_private_tree(self, root: RootAnchor, source: Path, destination: Path) -> None:
        """Moves the private tree at ``source``, unexamined, to the free name ``destination`` in the same
        directory with one exclusive rename. Both absent, or already moved: success, nothing done."""
        self._run(QUARANTINE_PRIVATE_TREE, root, [_text(source), _text(destination)])

    def remove_private_tree(self, root: RootAnchor, path: Path, budget: int = 4096, depth_limit: int = 16) -> None:
        """Validates and hardens the private tree at ``path``, then removes it, at most ``budget`` entries
        (1 to 4096) per run and ``depth_limit`` levels (0 to 16) deep; more raises Error E2BIG after removing
        what it could: run it again to go on. A missing name succeeds; a refused tree is not deleted."""
        self._run(REMOVE_PRIVATE_TREE, root, [_text(path), _number(budget), _number(depth_limit)])

    def create_private_file_staged(self, root: RootAnchor, final_path: Path, staging_path: Path, data: Data) -> None:
        """Writes ``data`` (bytes, or a binary file object read from its position to its end) to the free
        ``staging_path`` (0600), proves and flushes it, then moves it to the free ``final_path`` in the same
        directory, which therefore never holds a partial file. A write failure leaves the staging file for
        remove_private_staging_file."""
        self._run(CREATE_PRIVATE_FILE_STAGED, root, [_text(final_path), _text(staging_path)], data)

    def remove_private_staging_file(self, root: RootAnchor, path: Path, size_bound: int = MAX_CONTENT_SIZE) -> None:
        """Removes a private single-link file of at most ``size_bound`` bytes left under a staging name.
        A missing name succeeds."""
        self._run(REMOVE_PRIVATE_STAGING_FILE, root, [_text(path), _number(size_bound)])

    def read_private_file(self, root: RootAnchor, path: Path, max_size: int = MAX_CONTENT_SIZE) -> bytes:
        """The content of the private file at ``path`` (a single-link regular file of the root's owner, at
        most ``max_size`` bytes), read while it stays that file; the directory is left at 0700, the file at
        0600."""
        content = self._read(READ_PRIVATE_FILE, root, [_text(path), _number(max_size)], max_size, None)
        assert isinstance(content, bytes)
        return content

    def read_private_file_into(self, root: RootAnchor, path: Path, sink: BinaryIO,
                               max_size: int = MAX_CONTENT_SIZE) -> int:
        """read_private_file, writing the content into the binary file object ``sink`` as it arrives;
        returns its size. On an exception ``sink`` may hold part of the content: discard it."""
        size = self._read(READ_PRIVATE_FILE, root, [_text(path), _number(max_size)], max_size, sink)
        assert isinstance(size, int)
        return size

    def _external_args(self, path: Path, directory: DirectoryIdentity | RootAnchor, max_size: int) -> list[str]:
        return [_text(path), _number(max_size), _number(directory.device), _number(directory.inode),
                _number(directory.uid)]

    def read_external_file(self, root: RootAnchor, path: Path, directory: DirectoryIdentity | RootAnchor,
                           max_size: int = MAX_CONTENT_SIZE) -> bytes:
        """The content of the non-empty file at ``path`` (at most ``max_size`` bytes, one link), in a
        directory that must have the device, inode and uid of ``directory``; no mode is changed."""
        content = self._read(READ_EXTERNAL_FILE, root, self._external_args(path, directory, max_size), max_size,
                             None)
        assert isinstance(content, bytes)
        return content

    def read_external_file_into(self, root: RootAnchor, path: Path, directory: DirectoryIdentity | RootAnchor,
                                sink: BinaryIO, max_size: int = MAX_CONTENT_SIZE) -> int:
        """read_external_file, writing the content into ``sink`` as it arrives; returns its size. On an
        exception ``sink`` may hold part of the content: discard it."""
        size = self._read(READ_EXTERNAL_FILE, root, self._external_args(path, directory, max_size), max_size,
                          sink)
        assert isinstance(size, int)
        return size

    def remove_private_file(self, root: RootAnchor, path: Path, size: int, sha256: str) -> None:
        """Deletes the private file at ``path`` only while its content has ``size`` bytes and that SHA-256
        digest; a file with other content is never deleted. A missing name succeeds."""
        self._run(REMOVE_PRIVATE_FILE, root, [_text(path), _number(size), _text(sha256)])

    def ensure_dir(self, root: RootAnchor, path: Path) -> DirectoryIdentity:
        """Creates the directory at ``path`` (mode 0700; its parent must exist) or accepts the one there, and
        returns its identity. A created directory stays, also after RacePreserved."""
        result = self._run(ENSURE_DIR, root, [_text(path)])
        assert isinstance(result, DirectoryIdentity)
        return result

    def ensure_private_dir(self, root: RootAnchor, path: Path) -> DirectoryIdentity:
        """ensure_dir for the private store: the directory must be the root owner's with permissions exactly
        0700 (IdentityChanged otherwise); no mode is changed."""
        result = self._run(ENSURE_PRIVATE_DIR, root, [_text(path)])
        assert isinstance(result, DirectoryIdentity)
        return result

    def create_file(self, root: RootAnchor, path: Path, mode: int, data: Data) -> None:
        """Creates the new file ``path`` (the name must be free) with permission bits ``mode`` (at most
        0o777, whatever the umask) from ``data`` (bytes, or a binary file object read from its position to
        its end). A failure after the file was created removes it again (or raises RacePreserved when the
        name no longer held it)."""
        self._run(CREATE_FILE, root, [_text(path), _number(mode)], data)

    def create_private_file(self, root: RootAnchor, path: Path, data: Data) -> None:
        """create_file in the private store: mode 0600, one link, the parent reached through directories of
        the root's owner and brought to 0700."""
        self._run(CREATE_PRIVATE_FILE, root, [_text(path)], data)
