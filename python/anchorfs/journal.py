"""Operation records, the journal that keeps them durably, and settling them after a crash.

A record holds everything the recover command of one operation needs (the root anchor, a bookmark of every
parent directory involved, the descriptions, the staging and quarantine names chosen) in the JSON form of
docs/operation-record.schema.json, which every client reads and writes alike. A journal keeps records in a
private directory below the root: a record is on disk, content and name flushed, before its operation starts,
and is removed once the outcome is known. After a crash, settle_all(journal) runs the matching recover command
for every record left and says what happened in words a caller can branch on.

    journal = Journal(helper, root)
    for settlement in settle_all(journal):          # application start-up
        if settlement.outcome is Outcome.NEEDS_ATTENTION: log(settlement)
    record = prepare_unlink_checked(helper, root, "photos/a.jpg", describe_file(...))
    journal.run(record)
"""

from __future__ import annotations

import enum
import errno
import hashlib
import json
import os
import re
import stat
from collections.abc import Mapping
from dataclasses import dataclass, field

from .errors import Error, HelperError
from .files import QUARANTINE_PREFIX, new_quarantine_leaf
from .helper import Helper
from .records import Bookmark, BookmarkedParent, FileDescription, FileIdentity, RootAnchor

VERSION = 1
JOURNAL_DIRECTORY = ".anchorfs-journal"
STAGING_PREFIX = ".anchorfs-staging-"
RECORD_SUFFIX = ".json"
# Four bookmarks of 131072 hexadecimal digits and the rest fit easily.
MAX_RECORD_SIZE = 1 << 20


class Operation(enum.StrEnum):
    RENAME_EXCL = "rename-excl"
    RENAME_SWAP = "rename-swap"
    LINK_EXCL = "link-excl"
    UNLINK_CHECKED = "unlink-checked"
    CREATE_PRIVATE_FILE_STAGED = "create-private-file-staged"


# The names and files each operation's record holds, by role.
ROLES: dict[Operation, tuple[tuple[str, ...], tuple[str, ...]]] = {
    Operation.RENAME_EXCL: (("source", "destination"), ("file",)),
    Operation.RENAME_SWAP: (("a", "b"), ("file1", "file2")),
    Operation.LINK_EXCL: (("source", "destination", "staging", "quarantine"), ("file",)),
    Operation.UNLINK_CHECKED: (("source", "staging", "quarantine"), ("file",)),
    Operation.CREATE_PRIVATE_FILE_STAGED: (("final", "staging"), ()),
}


class Outcome(enum.StrEnum):
    """What settling a record found and did."""

    COMPLETED = "completed"          # the operation's effect is in place (had finished, or was finished now)
    UNDONE = "undone"                # the operation had taken effect and was reversed: the tree is as before
    NOTHING_TO_DO = "nothing to do"  # the operation had not taken effect: the tree is as before, unchanged
    NEEDS_ATTENTION = "needs attention"  # the recover command failed, or the record cannot be believed


@dataclass(frozen=True)
class Name:
    """A path below the root, and the bookmark of its parent directory taken before the operation (None for
    the private store's names, which its commands reach by path alone)."""

    path: str
    parent: Bookmark | None = None

    def group(self) -> BookmarkedParent:
        assert self.parent is not None
        return BookmarkedParent.of(self.parent, self.path)


@dataclass(frozen=True)
class Content:
    """The size and SHA-256 of content a record's operation writes."""

    size: int
    sha256: str


@dataclass(frozen=True)
class Record:
    operation: Operation
    root: RootAnchor
    names: Mapping[str, Name]
    files: Mapping[str, FileDescription] = field(default_factory=dict)
    content: Content | None = None


class RecordError(ValueError):
    """Bytes that are not a record of the published form (torn by a crash, or not a record at all)."""


# -- the JSON form ------------------------------------------------------------------------------------------

_DECIMAL = re.compile(r"(0|[1-9][0-9]{0,19})")
_DIGEST = re.compile(r"[0-9a-f]{64}")
_BOOKMARK = re.compile(r"(?:[0-9a-f]{2}){1,65536}")
_QUARANTINE = re.compile(re.escape(QUARANTINE_PREFIX) + r"[0-9a-f]{32}")
_DESCRIPTION_KEYS = ("device", "inode", "link_count", "uid", "mode", "size", "mtime_ns", "sha256")


def _n(value: int) -> str:
    return str(value)


def _description_json(d: FileDescription) -> dict[str, str]:
    i = d.identity
    return {"device": _n(i.device), "inode": _n(i.inode), "link_count": _n(i.link_count), "uid": _n(i.uid),
            "mode": _n(i.mode), "size": _n(d.size), "mtime_ns": _n(d.mtime_ns), "sha256": d.sha256}


def _name_json(name: Name) -> dict[str, object]:
    out: dict[str, object] = {"path": name.path}
    if name.parent is not None:
        b = name.parent
        out["bookmark"] = {"hex": b.hex, "device": _n(b.device), "inode": _n(b.inode), "uid": _n(b.uid)}
    return out


def encode_record(record: Record) -> bytes:
    """The record's JSON form, one line ending in a line feed."""
    names, files = ROLES[record.operation]
    out: dict[str, object] = {
        "version": VERSION,
        "operation": str(record.operation),
        "root": {"path": record.root.path, "device": _n(record.root.device), "inode": _n(record.root.inode),
                 "uid": _n(record.root.uid)},
        "names": {role: _name_json(record.names[role]) for role in names},
    }
    if files:
        out["files"] = {role: _description_json(record.files[role]) for role in files}
    if record.content is not None:
        out["content"] = {"size": _n(record.content.size), "sha256": record.content.sha256}
    return (json.dumps(out, ensure_ascii=False, separators=(",", ":")) + "\n").encode()


def _object(value: object, where: str, keys: tuple[str, ...], optional: tuple[str, ...] = ()) -> dict:
    if not isinstance(value, dict):
        raise RecordError(f"{where}: not an object")
    missing = [k for k in keys if k not in value]
    extra = [k for k in value if k not in keys and k not in optional]
    if missing or extra:
        raise RecordError(f"{where}: missing {missing} or unknown {extra}")
    return value


def _decimal(value: object, where: str) -> int:
    if not isinstance(value, str) or not _DECIMAL.fullmatch(value) or int(value) >= 1 << 64:
        raise RecordError(f"{where}: not an unsigned 64-bit decimal string")
    return int(value)


def _string(value: object, where: str, pattern: re.Pattern[str] | None = None) -> str:
    if not isinstance(value, str) or not value or "\0" in value or (pattern and not pattern.fullmatch(value)):
        raise RecordError(f"{where}: not a valid string")
    return value


def _description(value: object, where: str) -> FileDescription:
    v = _object(value, where, _DESCRIPTION_KEYS)
    n = [_decimal(v[k], f"{where}.{k}") for k in _DESCRIPTION_KEYS[:7]]
    return FileDescription(FileIdentity(*n[:5]), n[5], n[6], _string(v["sha256"], f"{where}.sha256", _DIGEST))


def _name(value: object, where: str, bookmarked: bool, quarantine: bool) -> Name:
    v = _object(value, where, ("path", "bookmark") if bookmarked else ("path",))
    path = _string(v["path"], f"{where}.path")
    if quarantine and not _QUARANTINE.fullmatch(path.rpartition("/")[2]):
        raise RecordError(f"{where}.path: the leaf is not a quarantine leaf")
    if not bookmarked:
        return Name(path)
    b = _object(v["bookmark"], f"{where}.bookmark", ("hex", "device", "inode", "uid"))
    return Name(path, Bookmark(_string(b["hex"], f"{where}.bookmark.hex", _BOOKMARK),
                               *(_decimal(b[k], f"{where}.bookmark.{k}") for k in ("device", "inode", "uid"))))


def _unique_keys(pairs: list[tuple[str, object]]) -> dict[str, object]:
    members = dict(pairs)
    if len(members) != len(pairs):
        raise ValueError("a key given twice")
    return members


def decode_record(data: bytes) -> Record:
    """The record in ``data``; RecordError for anything that is not exactly the published form."""
    try:
        value = json.loads(data.decode("utf-8"), object_pairs_hook=_unique_keys)
    except (UnicodeDecodeError, ValueError) as error:
        raise RecordError(f"not JSON: {error}") from None
    if not isinstance(value, dict):
        raise RecordError("not an object")
    version = value.get("version")
    if type(version) is not int or version != VERSION:
        raise RecordError(f"version {version!r} is not {VERSION}")
    try:
        operation = Operation(value.get("operation"))
    except ValueError:
        raise RecordError(f"unknown operation {value.get('operation')!r}") from None
    roles, file_roles = ROLES[operation]
    staged = operation is Operation.CREATE_PRIVATE_FILE_STAGED
    top = ("version", "operation", "root", "names") + (("files",) if file_roles else ()) + (
        ("content",) if staged else ())
    _object(value, "record", top)
    r = _object(value["root"], "root", ("path", "device", "inode", "uid"))
    root = RootAnchor(_string(r["path"], "root.path"),
                      *(_decimal(r[k], f"root.{k}") for k in ("device", "inode", "uid")))
    names_json = _object(value["names"], "names", roles)
    names = {role: _name(names_json[role], f"names.{role}", not staged, role == "quarantine") for role in roles}
    files: dict[str, FileDescription] = {}
    if file_roles:
        files_json = _object(value["files"], "files", file_roles)
        files = {role: _description(files_json[role], f"files.{role}") for role in file_roles}
    content = None
    if staged:
        c = _object(value["content"], "content", ("size", "sha256"))
        content = Content(_decimal(c["size"], "content.size"), _string(c["sha256"], "content.sha256", _DIGEST))
    return Record(operation, root, names, files, content)


# -- preparing records --------------------------------------------------------------------------------------

def _directory(path: str) -> str:
    directory, slash, _ = os.fspath(path).rpartition("/")
    return directory if slash else "."


def _bookmarked(helper: Helper, root: RootAnchor, paths: dict[str, str]) -> dict[str, Name]:
    """Each path with the bookmark of its parent, one bookmark-parent run per distinct directory."""
    taken: dict[str, Bookmark] = {}
    names = {}
    for role, path in paths.items():
        path = os.fspath(path)
        directory = _directory(path)
        if directory not in taken:
            taken[directory] = helper.bookmark_parent(root, path)
        names[role] = Name(path, taken[directory])
    return names


def _scratch_names(scratch: str) -> tuple[str, str]:
    prefix = "" if scratch == "." else scratch.rstrip("/") + "/"
    return prefix + STAGING_PREFIX + os.urandom(16).hex(), prefix + new_quarantine_leaf()


def prepare_rename_excl(helper: Helper, root: RootAnchor, source: str, destination: str,
                        file: FileDescription) -> Record:
    """The record of renaming the described file from ``source`` to the free ``destination``."""
    return Record(Operation.RENAME_EXCL, root,
                  _bookmarked(helper, root, {"source": source, "destination": destination}), {"file": file})


def prepare_rename_swap(helper: Helper, root: RootAnchor, a: str, b: str, file1: FileDescription,
                        file2: FileDescription) -> Record:
    """The record of swapping file 1 under ``a`` and file 2 under ``b``."""
    return Record(Operation.RENAME_SWAP, root, _bookmarked(helper, root, {"a": a, "b": b}),
                  {"file1": file1, "file2": file2})


def prepare_link_excl(helper: Helper, root: RootAnchor, source: str, destination: str, file: FileDescription,
                      scratch: str | None = None) -> Record:
    """The record of giving the described file (link count as before the link) the free name ``destination``.
    The staging and quarantine names are fresh names in ``scratch`` (default: the destination's directory)."""
    staging, quarantine = _scratch_names(scratch if scratch is not None else _directory(destination))
    return Record(Operation.LINK_EXCL, root, _bookmarked(helper, root, {
        "source": source, "destination": destination, "staging": staging, "quarantine": quarantine}), {"file": file})


def prepare_unlink_checked(helper: Helper, root: RootAnchor, source: str, file: FileDescription,
                           scratch: str | None = None) -> Record:
    """The record of deleting the described file at ``source``; staging and quarantine names are fresh names
    in ``scratch`` (default: the source's directory)."""
    staging, quarantine = _scratch_names(scratch if scratch is not None else _directory(source))
    return Record(Operation.UNLINK_CHECKED, root, _bookmarked(helper, root, {
        "source": source, "staging": staging, "quarantine": quarantine}), {"file": file})


def prepare_create_private_file_staged(root: RootAnchor, final: str, content: bytes) -> Record:
    """The record of writing ``content`` to the free private name ``final`` through a fresh staging name in
    its directory. Needs no helper run."""
    staging, _ = _scratch_names(_directory(final))
    return Record(Operation.CREATE_PRIVATE_FILE_STAGED, root, {"final": Name(os.fspath(final)),
                  "staging": Name(staging)}, content=Content(len(content), hashlib.sha256(content).hexdigest()))


# -- running and settling -----------------------------------------------------------------------------------

def _check_content(record: Record, content: bytes | None) -> None:
    if record.content is None:
        if content is not None:
            raise ValueError(f"{record.operation} takes no content")
    elif content is None or Content(len(content), hashlib.sha256(content).hexdigest()) != record.content:
        raise ValueError("the content does not match the record")


def run_record(helper: Helper, record: Record, content: bytes | None = None) -> FileDescription | None:
    """Runs the record's operation; raises as the helper method does. A staged create needs its ``content``
    (refused with ValueError when it does not match the record) and returns the new file's description."""
    n, f, root = record.names, record.files, record.root
    match record.operation:
        case Operation.RENAME_EXCL:
            helper.rename_excl(root, n["source"].path, n["destination"].path, f["file"].identity)
        case Operation.RENAME_SWAP:
            helper.rename_swap(root, n["a"].path, n["b"].path, f["file1"].identity, f["file2"].identity)
        case Operation.LINK_EXCL:
            helper.link_excl(root, n["source"].path, n["destination"].path, n["staging"].path,
                             n["quarantine"].path, f["file"])
        case Operation.UNLINK_CHECKED:
            helper.unlink_checked(root, n["source"].path, n["staging"].path, n["quarantine"].path, f["file"])
        case Operation.CREATE_PRIVATE_FILE_STAGED:
            _check_content(record, content)
            return helper.create_private_file_staged(root, n["final"].path, n["staging"].path, content)
    return None


def _lookup(root: RootAnchor, path: str) -> os.stat_result | None:
    """The status of the entry at ``path`` now, looked up one name at a time from the root without following
    a link; None when there is none or it cannot be reached. Only chooses the word a settlement reports and
    whether a record is kept; never acted on."""
    try:
        fd = os.open(root.path, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        status = os.fstat(fd)
        if (status.st_dev, status.st_ino) != (root.device, root.inode):
            return None
        *directories, leaf = path.split("/")
        for component in directories:
            next_fd = os.open(component, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=fd)
            os.close(fd)
            fd = next_fd
        return os.stat(leaf, dir_fd=fd, follow_symlinks=False)
    except OSError:
        return None
    finally:
        os.close(fd)


def _holds(root: RootAnchor, path: str, file: FileDescription) -> bool:
    """Whether ``path`` names the described file (its device and inode) now."""
    status = _lookup(root, path)
    return status is not None and (status.st_dev, status.st_ino) == (file.identity.device, file.identity.inode)


@dataclass
class Settlement:
    """What settling one record did. ``error`` is the failure (an anchorfs.Error, HelperError included) when
    the outcome is NEEDS_ATTENTION because a command failed; ``problem`` says in words why a record could not
    be believed or acted on; ``redone`` is True when an undone operation was run again on request (the
    outcome is then COMPLETED, or NEEDS_ATTENTION with the redo's error)."""

    outcome: Outcome
    record: Record | None = None
    error: Exception | None = None
    problem: str = ""
    redone: bool = False
    path: str = ""  # the journal entry, for a settlement through a journal


def _effect_in_place(record: Record) -> bool:
    n, f, root = record.names, record.files, record.root
    match record.operation:
        case Operation.RENAME_EXCL:
            return _holds(root, n["destination"].path, f["file"])
        case Operation.RENAME_SWAP:
            return _holds(root, n["a"].path, f["file2"])
        case Operation.LINK_EXCL:
            return any(_holds(root, n[r].path, f["file"]) for r in ("destination", "staging", "quarantine"))
        case _:
            return False


def settle(helper: Helper, record: Record, redo: bool = False) -> Settlement:
    """Runs the recover command of ``record`` and says what happened. Recovering a rename, swap or link undoes
    it (UNDONE when it had taken effect, else NOTHING_TO_DO); with ``redo`` the operation is then run again
    (the tree being as before it, whether undone or never run), giving COMPLETED or NEEDS_ATTENTION.
    Recovering an unlink finishes it (COMPLETED). A staged create's leftover staging file is removed; COMPLETED
    when the final name holds the recorded content. A failure gives NEEDS_ATTENTION with the error."""
    n, f, root = record.names, record.files, record.root
    try:
        if record.operation is Operation.UNLINK_CHECKED:
            helper.recover_unlink(root, n["source"].group(), n["staging"].group(), n["quarantine"].group(),
                                  f["file"])
            return Settlement(Outcome.COMPLETED, record)
        if record.operation is Operation.CREATE_PRIVATE_FILE_STAGED:
            assert record.content is not None
            leftover = _lookup(root, n["staging"].path) is not None
            helper.remove_private_staging_file(root, n["staging"].path, record.content.size)
            try:
                data = helper.read_private_file(root, n["final"].path, record.content.size)
            except Error as error:
                if error.code != "ENOENT":
                    raise
                return Settlement(Outcome.UNDONE if leftover else Outcome.NOTHING_TO_DO, record)
            if hashlib.sha256(data).hexdigest() != record.content.sha256:
                return Settlement(Outcome.NEEDS_ATTENTION, record, problem="the final name holds other content")
            return Settlement(Outcome.COMPLETED, record)
        had_effect = _effect_in_place(record)
        match record.operation:
            case Operation.RENAME_EXCL:
                helper.recover_rename(root, n["source"].group(), n["destination"].group(), f["file"])
            case Operation.RENAME_SWAP:
                helper.recover_swap(root, n["a"].group(), n["b"].group(), f["file1"], f["file2"])
            case Operation.LINK_EXCL:
                helper.recover_link(root, n["source"].group(), n["destination"].group(), n["staging"].group(),
                                    n["quarantine"].group(), f["file"])
    except Error as error:
        return Settlement(Outcome.NEEDS_ATTENTION, record, error, f"{error}")
    outcome = Outcome.UNDONE if had_effect else Outcome.NOTHING_TO_DO
    if not redo:
        return Settlement(outcome, record)
    try:
        run_record(helper, record)
    except Error as error:
        return Settlement(Outcome.NEEDS_ATTENTION, record, error, f"redo: {error}", redone=True)
    return Settlement(Outcome.COMPLETED, record, redone=True)


def _as_before(record: Record) -> bool:
    """After a failure line: whether the tree clearly shows the state from before the operation, so that the
    record has nothing left to settle."""
    n, f, root = record.names, record.files, record.root
    match record.operation:
        case Operation.RENAME_EXCL:
            return _holds(root, n["source"].path, f["file"]) and not _holds(root, n["destination"].path, f["file"])
        case Operation.RENAME_SWAP:
            return _holds(root, n["a"].path, f["file1"]) and _holds(root, n["b"].path, f["file2"])
        case Operation.LINK_EXCL:
            return not any(_holds(root, n[r].path, f["file"]) for r in ("destination", "staging", "quarantine"))
        case Operation.UNLINK_CHECKED:
            return _holds(root, n["source"].path, f["file"]) and not any(
                _holds(root, n[r].path, f["file"]) for r in ("staging", "quarantine"))
        case _:
            return False


# -- the journal --------------------------------------------------------------------------------------------

@dataclass(frozen=True)
class Entry:
    """One record in a journal: its path below the root, the record (None when it could not be read or
    believed, with the reason in ``problem``), and the size and SHA-256 of its bytes."""

    path: str
    record: Record | None
    size: int = 0
    sha256: str = ""
    problem: str = ""


class Journal:
    """Records kept in the private directory ``directory`` below ``root`` (made with ensure-private-dir).

    Each record is written with create-private-file (owner-only, content and name flushed, no link followed)
    before its operation starts, read back with read-private-file and removed with remove-private-file once
    its outcome is known. A record that does not parse is reported, never acted on, and stays until
    ``discard`` removes it."""

    def __init__(self, helper: Helper, root: RootAnchor, directory: str = JOURNAL_DIRECTORY) -> None:
        self.helper = helper
        self.root = root
        self.directory = os.fspath(directory)
        helper.ensure_private_dir(root, self.directory)

    def write(self, record: Record) -> Entry:
        data = encode_record(record)
        path = f"{self.directory}/{record.operation}.{os.urandom(16).hex()}{RECORD_SUFFIX}"
        self.helper.create_private_file(self.root, path, data)
        return Entry(path, record, len(data), hashlib.sha256(data).hexdigest())

    def remove(self, entry: Entry) -> None:
        self.helper.remove_private_file(self.root, entry.path, entry.size, entry.sha256)

    def _names(self) -> list[str]:
        fd = os.open(self.root.path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            status = os.fstat(fd)
            if (status.st_dev, status.st_ino, status.st_uid) != (self.root.device, self.root.inode, self.root.uid):
                raise OSError(errno.ESTALE, "the root is not the anchored directory", self.root.path)
            for component in self.directory.split("/"):
                next_fd = os.open(component, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=fd)
                os.close(fd)
                fd = next_fd
            status = os.fstat(fd)
            if status.st_uid != self.root.uid or stat.S_IMODE(status.st_mode) != 0o700:
                raise OSError(errno.ESTALE, "the journal is not a private directory", self.directory)
            return sorted(os.listdir(fd))
        finally:
            os.close(fd)

    def entries(self) -> list[Entry]:
        """Every record in the journal, read back; torn or foreign ones with their problem."""
        found = []
        for name in self._names():
            path = f"{self.directory}/{name}"
            if not name.endswith(RECORD_SUFFIX):
                found.append(Entry(path, None, problem="not a record's name"))
                continue
            try:
                data = self.helper.read_private_file(self.root, path, MAX_RECORD_SIZE)
            except Error as error:
                found.append(Entry(path, None, problem=f"unreadable: {error}"))
                continue
            digest = hashlib.sha256(data).hexdigest()
            try:
                found.append(Entry(path, decode_record(data), len(data), digest))
            except RecordError as error:
                found.append(Entry(path, None, len(data), digest, f"torn or foreign record: {error}"))
        return found

    def discard(self, entry: Entry) -> None:
        """Removes an entry whose bytes were read (a torn record included) while it still holds them."""
        self.remove(entry)

    def run(self, record: Record, content: bytes | None = None) -> FileDescription | None:
        """Writes the record, runs its operation and removes the record once the outcome is known; raises as
        the operation does, and returns what it returns (a staged create: the new file's description). The record stays (for settle or settle_all) when the outcome is not known (a
        HelperError) or when after a failure line the tree is not clearly back in its state from before. A
        failure to remove the record after the operation succeeded raises that failure: the record stays, and
        settling it with ``redo`` restores the operation's effect."""
        _check_content(record, content)  # before the record is written: a refused call leaves none
        entry = self.write(record)
        try:
            made = run_record(self.helper, record, content)
        except HelperError:
            raise
        except Error as error:
            if record.operation is Operation.CREATE_PRIVATE_FILE_STAGED:
                if error.code != "RACE_PRESERVED":
                    self._staged_create_failed(entry, record)
            elif _as_before(record):
                self.remove(entry)
            raise
        self.remove(entry)
        return made

    def _staged_create_failed(self, entry: Entry, record: Record) -> None:
        """A staged create's failure line other than RACE_PRESERVED says the final name never held the file or
        had it taken away again: the outcome is known even where the final name is another file's (EEXIST),
        and only a staging file the failure left is still to go. The record stays if that clean-up fails."""
        assert record.content is not None
        try:
            self.helper.remove_private_staging_file(record.root, record.names["staging"].path, record.content.size)
            self.remove(entry)
        except Error:
            pass

    def settle(self, entry: Entry, redo: bool = False) -> Settlement:
        """Settles one entry and removes it unless the outcome is NEEDS_ATTENTION."""
        if entry.record is None:
            return Settlement(Outcome.NEEDS_ATTENTION, None, problem=entry.problem, path=entry.path)
        settlement = settle(self.helper, entry.record, redo)
        settlement.path = entry.path
        if settlement.outcome is not Outcome.NEEDS_ATTENTION:
            try:
                self.remove(entry)
            except Error as error:
                settlement = Settlement(Outcome.NEEDS_ATTENTION, entry.record, error,
                                        f"settled as {settlement.outcome}, record not removed: {error}",
                                        settlement.redone, entry.path)
        return settlement


def settle_all(journal: Journal, redo: bool = False) -> list[Settlement]:
    """Settles every record of the journal (application start-up), in the order of their names."""
    return [journal.settle(entry, redo) for entry in journal.entries()]
