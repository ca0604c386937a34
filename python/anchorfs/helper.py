"""The helper and its twenty commands, one method each."""

from __future__ import annotations

import os
import shutil
import stat
from collections.abc import Callable
from dataclasses import dataclass
from typing import BinaryIO, Protocol

from . import _location
from .arguments import path_refusal
from .errors import ArgumentRefused, HelperError, RacePreserved
from .files import status_below
from .process import Input, exchange
from .records import (MAX_CONTENT_SIZE, Bookmark, BookmarkedParent, DirectoryIdentity, FileDescription,
                      FileIdentity, RootAnchor)
from .result_line import ESTALE, Command, Races, Shape, content_allowance, interpret

Data = bytes | bytearray | memoryview | BinaryIO
Path = str | os.PathLike[str]


class _HasFileno(Protocol):
    def fileno(self) -> int: ...


# What cancels a call: a descriptor (or an object with fileno(), such as anchorfs.Cancel) that becomes
# readable, or hangs up, when the call is to stop.
CancelSource = int | _HasFileno


class _HelperDefault:
    def __repr__(self) -> str:
        return "HELPER_DEFAULT"


# The timeout a call takes unless given one: the Helper's own.
HELPER_DEFAULT = _HelperDefault()
Timeout = float | None | _HelperDefault

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


@dataclass(frozen=True)
class _Call:
    """One call: what its message names (the paths it was given), and its limits."""

    subject: str
    timeout: Timeout = HELPER_DEFAULT
    cancel: CancelSource | None = None


def _path(command: Command, argument: str, value: Path) -> str:
    """A relative path below the root, refused here by the rule the helper would refuse it by."""
    text = _text(value)
    rule = path_refusal(text)
    if rule is not None:
        raise ArgumentRefused(command.name, argument, text, rule)
    return text


def _whole_mode(command: Command, argument: str, file: FileIdentity) -> FileIdentity:
    if not stat.S_ISREG(file.mode):
        raise ArgumentRefused(command.name, argument, oct(file.mode),
                              "an identity's mode is the whole mode word with its file-type bits "
                              "(0o100644, not 0o644): take it from identity() or describe_file()")
    return file


def _whole_modes(command: Command, argument: str, file: FileDescription) -> FileDescription:
    _whole_mode(command, argument, file.identity)
    return file


def _group(group: BookmarkedParent) -> str:
    return group.leaf if group.directory == "." else f"{group.directory}/{group.leaf}"


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
    beside this package is used, else ``anchorfs`` on PATH. ``timeout`` bounds each run in seconds unless a
    call gives its own; a run that takes longer has its input closed (the protocol's cancel: a create removes
    what it made), is given GRACE_PERIOD (2 s) to end, is then killed, and raises HelperTimeout. A call's
    ``cancel`` stops it the same way and raises HelperCancelled.

    Every method raises Failure (or the subclass its code names) for a failure line, with the code and
    errno, HelperError when the program could not be run, its output broke the protocol or it was stopped,
    and ArgumentRefused for an argument refused before it ran. A failure line
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

    def _run(self, command: Command, root: RootAnchor, call: _Call, args: list[str], data: Data | None = None,
             size_bound: int = 0, sink: Callable[[bytes], object] | None = None,
             content: Input | None = None) -> DirectoryIdentity | Bookmark | int | None:
        argv = [self.binary, command.name, _text(root.path), _number(root.device), _number(root.inode),
                _number(root.uid), *args]
        content = content or Input(data)
        if data is not None:
            if content.size > MAX_CONTENT_SIZE:
                raise ArgumentRefused(command.name, "data", f"{content.size} bytes",
                                      f"content over {MAX_CONTENT_SIZE} bytes (64 MiB)")
            argv.append(_number(content.size))
        timeout = self.timeout if isinstance(call.timeout, _HelperDefault) else call.timeout
        cancel_fd = None if call.cancel is None else call.cancel if isinstance(call.cancel, int) \
            else call.cancel.fileno()
        try:
            output = exchange(argv, content, timeout, cancel_fd,
                              lambda head: content_allowance(command, head, size_bound), sink or (lambda _: None))
        except OSError as error:
            raise HelperError(command.name, "spawn_failed", error.errno or 0, subject=call.subject) from error
        return interpret(command, output, call.subject)

    def _create(self, command: Command, root: RootAnchor, call: _Call, args: list[str], path: str,
                data: Data) -> FileDescription:
        """Runs a create and describes the new file: its status taken after the run, its size and SHA-256
        from the bytes this client sent. RacePreserved (errno ESTALE) when the name no longer shows a regular
        file of that size by then."""
        content = Input(data)
        self._run(command, root, call, args, data, content=content)
        # Made, but should the name no longer show it, another process changed it since: the new state
        # stays, as RACE_PRESERVED says (the C++ client reports the same).
        try:
            status = status_below(root, path)
        except OSError as error:
            raise RacePreserved(command.name, "RACE_PRESERVED", ESTALE, call.subject) from error
        if not stat.S_ISREG(status.st_mode) or status.st_size != content.sent:
            raise RacePreserved(command.name, "RACE_PRESERVED", ESTALE, call.subject)
        return FileDescription(FileIdentity(status.st_dev, status.st_ino, status.st_nlink, status.st_uid,
                                            status.st_mode), status.st_size, status.st_mtime_ns,
                               content.digest.hexdigest())

    def _read(self, command: Command, root: RootAnchor, call: _Call, args: list[str], max_size: int,
              sink: BinaryIO | None) -> bytes | int:
        if sink is not None:
            size = self._run(command, root, call, args, size_bound=max_size, sink=sink.write)
            assert isinstance(size, int)
            return size
        chunks: list[bytes] = []
        self._run(command, root, call, args, size_bound=max_size, sink=chunks.append)
        return b"".join(chunks)

    # -- bookmarks and recovery ---------------------------------------------------------------------------
    #
    # Every method takes, after its own arguments, ``timeout`` (seconds; None: no limit; by default the
    # Helper's) and ``cancel`` (see CancelSource) for this call alone. It raises Failure (or the subclass
    # its code names) for a failure line, HelperError when there is no answer, and ArgumentRefused before
    # any process starts for an argument the helper would refuse; each method lists the codes of its own
    # failures, beside those every command can give (ROOT_IDENTITY_CHANGED, ENOENT, ENOTDIR, ELOOP, EXDEV,
    # EACCES and IDENTITY_CHANGED on the way to the parent directory, FILESYSTEM_ERROR).

    def bookmark_parent(self, root: RootAnchor, path: Path, *, timeout: Timeout = HELPER_DEFAULT,
                        cancel: CancelSource | None = None) -> Bookmark:
        """Bookmark and identity of the parent directory of ``path`` (which need not exist; for a single name
        the root). Changes nothing. Keep it with BookmarkedParent.of(bookmark, path) for a recover command.
        Codes: those of the walk only."""
        text = _path(BOOKMARK_PARENT, "path", path)
        result = self._run(BOOKMARK_PARENT, root, _Call(text, timeout, cancel), [text])
        assert isinstance(result, Bookmark)
        return result

    def recover_unlink(self, root: RootAnchor, source: BookmarkedParent, staging: BookmarkedParent,
                       quarantine: BookmarkedParent, file: FileDescription, *, timeout: Timeout = HELPER_DEFAULT,
                       cancel: CancelSource | None = None) -> None:
        """Finishes an interrupted unlink_checked: wherever the described file is (source, staging or
        quarantine name), it is carried forward and deleted while it still has that content. All three names
        absent: success at once. Idempotent; a failure leaves the file under one name for a later run.
        Codes: IDENTITY_CHANGED (another file at a name, the file under two names), EINVAL."""
        _whole_modes(RECOVER_UNLINK, "file", file)
        self._run(RECOVER_UNLINK, root, _Call(_group(source), timeout, cancel),
                  _parent(source) + _parent(staging) + _parent(quarantine) + _description(file))

    def recover_rename(self, root: RootAnchor, source: BookmarkedParent, destination: BookmarkedParent,
                       file: FileDescription, *, timeout: Timeout = HELPER_DEFAULT,
                       cancel: CancelSource | None = None) -> None:
        """Returns an interrupted rename_excl to the state before it: the file at the source and the
        destination free, moving it back if needed. Codes: IDENTITY_CHANGED (any other state; nothing
        changed), EINVAL."""
        _whole_modes(RECOVER_RENAME, "file", file)
        self._run(RECOVER_RENAME, root, _Call(f"{_group(source)} -> {_group(destination)}", timeout, cancel),
                  _parent(source) + _parent(destination) + _description(file))

    def recover_swap(self, root: RootAnchor, a: BookmarkedParent, b: BookmarkedParent, file1: FileDescription,
                     file2: FileDescription, *, timeout: Timeout = HELPER_DEFAULT,
                     cancel: CancelSource | None = None) -> None:
        """Undoes an interrupted rename_swap: swapped names are swapped back so that A holds file 1 and B
        file 2; already so: nothing done. Codes: IDENTITY_CHANGED (any other state; nothing changed), EINVAL."""
        _whole_modes(RECOVER_SWAP, "file1", file1)
        _whole_modes(RECOVER_SWAP, "file2", file2)
        self._run(RECOVER_SWAP, root, _Call(f"{_group(a)} <-> {_group(b)}", timeout, cancel),
                  _parent(a) + _parent(b) + _description(file1) + _description(file2))

    def recover_link(self, root: RootAnchor, source: BookmarkedParent, destination: BookmarkedParent,
                     staging: BookmarkedParent, quarantine: BookmarkedParent, file: FileDescription, *,
                     timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> None:
        """Undoes an interrupted link_excl: the extra link, wherever it is, is carried to the quarantine name
        and deleted by content, until the source shows the file with the link count it had before (``file``).
        It never deletes a file's last name. Codes: IDENTITY_CHANGED, EINVAL."""
        _whole_modes(RECOVER_LINK, "file", file)
        self._run(RECOVER_LINK, root, _Call(f"{_group(source)} -> {_group(destination)}", timeout, cancel),
                  _parent(source) + _parent(destination) + _parent(staging) + _parent(quarantine)
                  + _description(file))

    # -- checked mutations --------------------------------------------------------------------------------

    def rename_excl(self, root: RootAnchor, source: Path, destination: Path, identity: FileIdentity, *,
                    timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> None:
        """Renames the file of ``identity`` at ``source`` to the free name ``destination``, never replacing
        anything. Codes: EEXIST (the destination is taken), IDENTITY_CHANGED (not that file), EINVAL,
        RACE_ROLLED_BACK (a failed check after the rename; back under the source), RACE_PRESERVED (left at
        the destination). Interrupted: recover_rename."""
        src, dst = _path(RENAME_EXCL, "source", source), _path(RENAME_EXCL, "destination", destination)
        _whole_mode(RENAME_EXCL, "identity", identity)
        self._run(RENAME_EXCL, root, _Call(f"{src} -> {dst}", timeout, cancel), [src, dst] + _identity(identity))

    def link_excl(self, root: RootAnchor, source: Path, destination: Path, staging: Path, quarantine: Path,
                  description: FileDescription, *, timeout: Timeout = HELPER_DEFAULT,
                  cancel: CancelSource | None = None) -> None:
        """Gives the described file (link count as before the link) the free second name ``destination``.
        A failed check afterwards takes the link away through ``staging`` and ``quarantine`` (one directory,
        the quarantine's leaf from new_quarantine_leaf) and raises RaceRolledBack, or raises RacePreserved.
        Codes: EEXIST, IDENTITY_CHANGED, EINVAL, EXDEV, RACE_ROLLED_BACK, RACE_PRESERVED. Interrupted:
        recover_link."""
        src, dst = _path(LINK_EXCL, "source", source), _path(LINK_EXCL, "destination", destination)
        stg, qua = _path(LINK_EXCL, "staging", staging), _path(LINK_EXCL, "quarantine", quarantine)
        _whole_modes(LINK_EXCL, "description", description)
        self._run(LINK_EXCL, root, _Call(f"{src} -> {dst}", timeout, cancel),
                  [src, dst, stg, qua] + _description(description))

    def rename_swap(self, root: RootAnchor, a: Path, b: Path, file1: FileIdentity, file2: FileIdentity, *,
                    timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> None:
        """Atomically exchanges file 1 under ``a`` and file 2 under ``b``. Codes: IDENTITY_CHANGED, EINVAL,
        RACE_ROLLED_BACK (only when the tree is back as before, never for a tree left swapped),
        RACE_PRESERVED. Interrupted: recover_swap."""
        first, second = _path(RENAME_SWAP, "a", a), _path(RENAME_SWAP, "b", b)
        _whole_mode(RENAME_SWAP, "file1", file1)
        _whole_mode(RENAME_SWAP, "file2", file2)
        self._run(RENAME_SWAP, root, _Call(f"{first} <-> {second}", timeout, cancel),
                  [first, second] + _identity(file1) + _identity(file2))

    def unlink_checked(self, root: RootAnchor, source: Path, staging: Path, quarantine: Path,
                       description: FileDescription, *, timeout: Timeout = HELPER_DEFAULT,
                       cancel: CancelSource | None = None) -> None:
        """Deletes the file at ``source`` only while it has the described identity and content: it is moved
        to the free ``staging`` name, then to the free ``quarantine`` name in the same directory, and deleted
        there. A file with other content is never deleted. Codes: EEXIST (staging or quarantine taken),
        IDENTITY_CHANGED, EINVAL, EXDEV, RACE_ROLLED_BACK, RACE_PRESERVED. Interrupted or failed after the
        first move: recover_unlink finishes it."""
        src = _path(UNLINK_CHECKED, "source", source)
        stg, qua = _path(UNLINK_CHECKED, "staging", staging), _path(UNLINK_CHECKED, "quarantine", quarantine)
        _whole_modes(UNLINK_CHECKED, "description", description)
        self._run(UNLINK_CHECKED, root, _Call(src, timeout, cancel), [src, stg, qua] + _description(description))

    # -- the private store --------------------------------------------------------------------------------

    def quarantine_private_tree(self, root: RootAnchor, source: Path, destination: Path, *,
                                timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> None:
        """Moves the private tree at ``source``, unexamined, to the free name ``destination`` in the same
        directory with one exclusive rename. Both absent, or already moved: success, nothing done.
        Codes: EEXIST, EXDEV (different directories), IDENTITY_CHANGED, EINVAL."""
        src = _path(QUARANTINE_PRIVATE_TREE, "source", source)
        dst = _path(QUARANTINE_PRIVATE_TREE, "destination", destination)
        self._run(QUARANTINE_PRIVATE_TREE, root, _Call(f"{src} -> {dst}", timeout, cancel), [src, dst])

    def remove_private_tree(self, root: RootAnchor, path: Path, budget: int = 4096, depth_limit: int = 16, *,
                            timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> None:
        """Validates and hardens the private tree at ``path``, then removes it, at most ``budget`` entries
        (1 to 4096) per run and ``depth_limit`` levels (0 to 16) deep. A missing name succeeds; a refused
        tree is not deleted. Codes: E2BIG (more than the budget, after removing what it could: run it again
        to go on), IDENTITY_CHANGED, EINVAL, ENOTEMPTY."""
        text = _path(REMOVE_PRIVATE_TREE, "path", path)
        self._run(REMOVE_PRIVATE_TREE, root, _Call(text, timeout, cancel),
                  [text, _number(budget), _number(depth_limit)])

    def create_private_file_staged(self, root: RootAnchor, final_path: Path, staging_path: Path, data: Data, *,
                                   timeout: Timeout = HELPER_DEFAULT,
                                   cancel: CancelSource | None = None) -> FileDescription:
        """Writes ``data`` (bytes, or a binary file object read from its position to its end) to the free
        ``staging_path`` (0600), proves and flushes it, then moves it to the free ``final_path`` in the same
        directory, which therefore never holds a partial file; returns the new file's description. A write
        failure (also a cancel or time limit mid-copy) leaves the staging file for
        remove_private_staging_file. Codes: EEXIST, EINVAL (short input, size), IDENTITY_CHANGED,
        RACE_PRESERVED."""
        final = _path(CREATE_PRIVATE_FILE_STAGED, "final_path", final_path)
        staging = _path(CREATE_PRIVATE_FILE_STAGED, "staging_path", staging_path)
        return self._create(CREATE_PRIVATE_FILE_STAGED, root, _Call(final, timeout, cancel), [final, staging],
                            final, data)

    def remove_private_staging_file(self, root: RootAnchor, path: Path, size_bound: int = MAX_CONTENT_SIZE, *,
                                    timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> None:
        """Removes a private single-link file of at most ``size_bound`` bytes left under a staging name.
        A missing name succeeds. Codes: EINVAL (not such a file), IDENTITY_CHANGED."""
        text = _path(REMOVE_PRIVATE_STAGING_FILE, "path", path)
        self._run(REMOVE_PRIVATE_STAGING_FILE, root, _Call(text, timeout, cancel), [text, _number(size_bound)])

    def read_private_file(self, root: RootAnchor, path: Path, max_size: int = MAX_CONTENT_SIZE, *,
                          timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> bytes:
        """The content of the private file at ``path`` (a single-link regular file of the root's owner, at
        most ``max_size`` bytes), read while it stays that file; the directory is left at 0700, the file at
        0600. Codes: ENOENT, EINVAL (not such a file, or larger), IDENTITY_CHANGED."""
        text = _path(READ_PRIVATE_FILE, "path", path)
        content = self._read(READ_PRIVATE_FILE, root, _Call(text, timeout, cancel), [text, _number(max_size)],
                             max_size, None)
        assert isinstance(content, bytes)
        return content

    def read_private_file_into(self, root: RootAnchor, path: Path, sink: BinaryIO,
                               max_size: int = MAX_CONTENT_SIZE, *, timeout: Timeout = HELPER_DEFAULT,
                               cancel: CancelSource | None = None) -> int:
        """read_private_file, writing the content into the binary file object ``sink`` as it arrives;
        returns its size. On an exception ``sink`` may hold part of the content: discard it."""
        text = _path(READ_PRIVATE_FILE, "path", path)
        size = self._read(READ_PRIVATE_FILE, root, _Call(text, timeout, cancel), [text, _number(max_size)],
                          max_size, sink)
        assert isinstance(size, int)
        return size

    def _external_args(self, path: str, directory: DirectoryIdentity | RootAnchor, max_size: int) -> list[str]:
        return [path, _number(max_size), _number(directory.device), _number(directory.inode),
                _number(directory.uid)]

    def read_external_file(self, root: RootAnchor, path: Path, directory: DirectoryIdentity | RootAnchor,
                           max_size: int = MAX_CONTENT_SIZE, *, timeout: Timeout = HELPER_DEFAULT,
                           cancel: CancelSource | None = None) -> bytes:
        """The content of the non-empty file at ``path`` (at most ``max_size`` bytes, one link), in a
        directory that must have the device, inode and uid of ``directory``; no mode is changed.
        Codes: ENOENT, EINVAL, IDENTITY_CHANGED."""
        text = _path(READ_EXTERNAL_FILE, "path", path)
        content = self._read(READ_EXTERNAL_FILE, root, _Call(text, timeout, cancel),
                             self._external_args(text, directory, max_size), max_size, None)
        assert isinstance(content, bytes)
        return content

    def read_external_file_into(self, root: RootAnchor, path: Path, directory: DirectoryIdentity | RootAnchor,
                                sink: BinaryIO, max_size: int = MAX_CONTENT_SIZE, *,
                                timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> int:
        """read_external_file, writing the content into ``sink`` as it arrives; returns its size. On an
        exception ``sink`` may hold part of the content: discard it."""
        text = _path(READ_EXTERNAL_FILE, "path", path)
        size = self._read(READ_EXTERNAL_FILE, root, _Call(text, timeout, cancel),
                          self._external_args(text, directory, max_size), max_size, sink)
        assert isinstance(size, int)
        return size

    def remove_private_file(self, root: RootAnchor, path: Path, size: int | FileDescription,
                            sha256: str | None = None, *, timeout: Timeout = HELPER_DEFAULT,
                            cancel: CancelSource | None = None) -> None:
        """Deletes the private file at ``path`` only while its content has ``size`` bytes and that SHA-256
        digest (or those of a FileDescription passed as ``size``, such as a private create returned); a file
        with other content is never deleted. A missing name succeeds. Codes: EINVAL, IDENTITY_CHANGED (other
        content)."""
        text = _path(REMOVE_PRIVATE_FILE, "path", path)
        if isinstance(size, FileDescription):
            if sha256 is not None:
                raise TypeError("remove_private_file takes a description or a size and digest, not both")
            size, sha256 = size.size, size.sha256
        if sha256 is None:
            raise TypeError("remove_private_file needs the content's SHA-256 digest")
        self._run(REMOVE_PRIVATE_FILE, root, _Call(text, timeout, cancel), [text, _number(size), _text(sha256)])

    def ensure_dir(self, root: RootAnchor, path: Path, *, timeout: Timeout = HELPER_DEFAULT,
                   cancel: CancelSource | None = None) -> DirectoryIdentity:
        """Creates the directory at ``path`` (mode 0700; its parent must exist) or accepts the one there, and
        returns its identity. A created directory stays, also after RacePreserved. Codes: ENOENT (no parent),
        ENOTDIR (a file at the name), IDENTITY_CHANGED, RACE_PRESERVED."""
        text = _path(ENSURE_DIR, "path", path)
        result = self._run(ENSURE_DIR, root, _Call(text, timeout, cancel), [text])
        assert isinstance(result, DirectoryIdentity)
        return result

    def ensure_private_dir(self, root: RootAnchor, path: Path, *, timeout: Timeout = HELPER_DEFAULT,
                           cancel: CancelSource | None = None) -> DirectoryIdentity:
        """ensure_dir for the private store: the directory must be the root owner's with permissions exactly
        0700 (IdentityChanged otherwise); no mode is changed. Codes: as ensure_dir."""
        text = _path(ENSURE_PRIVATE_DIR, "path", path)
        result = self._run(ENSURE_PRIVATE_DIR, root, _Call(text, timeout, cancel), [text])
        assert isinstance(result, DirectoryIdentity)
        return result

    def create_file(self, root: RootAnchor, path: Path, mode: int, data: Data, *,
                    timeout: Timeout = HELPER_DEFAULT, cancel: CancelSource | None = None) -> FileDescription:
        """Creates the new file ``path`` (the name must be free) with permission bits ``mode`` (at most
        0o777, whatever the umask) from ``data`` (bytes, or a binary file object read from its position to
        its end), and returns its description: identity and mtime from a status taken after the run, size
        and SHA-256 from the bytes this client sent. A failure after the file was created removes it again
        (or raises RacePreserved when the name no longer held it); so does a cancel or time limit mid-copy.
        Codes: EEXIST, ENOENT (no parent), EINVAL (short input), RACE_ROLLED_BACK, RACE_PRESERVED."""
        text = _path(CREATE_FILE, "path", path)
        if isinstance(mode, int) and not isinstance(mode, bool) and mode > 0o777:
            raise ArgumentRefused(CREATE_FILE.name, "mode", oct(mode),
                                  "permission bits only, at most 0o777 (no file-type bits)")
        return self._create(CREATE_FILE, root, _Call(text, timeout, cancel), [text, _number(mode)], text, data)

    def create_private_file(self, root: RootAnchor, path: Path, data: Data, *, timeout: Timeout = HELPER_DEFAULT,
                            cancel: CancelSource | None = None) -> FileDescription:
        """create_file in the private store: mode 0600, one link, the parent reached through directories of
        the root's owner and brought to 0700; returns the new file's description. Codes: as create_file."""
        text = _path(CREATE_PRIVATE_FILE, "path", path)
        return self._create(CREATE_PRIVATE_FILE, root, _Call(text, timeout, cancel), [text], text, data)
