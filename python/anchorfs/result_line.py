"""Believing the helper only as far as the protocol allows.

One flat JSON object on one line, in one of five shapes, with an exit status
that belongs to it and nothing after it except the bytes a size line
announced. Anything else is a HelperError, never an answer.
"""

from __future__ import annotations

import enum
import re
import stat
from dataclasses import dataclass

from .errors import CODE_CLASSES, Failure, HelperCancelled, HelperError, HelperTimeout, ResultNotDelivered
from .records import MAX_CONTENT_SIZE, Bookmark, DirectoryIdentity

# The longest result line: a bookmark line of 131072 hexadecimal digits and its other fields fit easily.
MAX_LINE_LENGTH = 131072 + 256

# Exit status of a run whose result line (or the content after it) could not be written whole.
EXIT_NOT_DELIVERED = 11

ESTALE = 116

# Each code and the errno that must come with it; None: any errno without a name of its own
# (FILESYSTEM_ERROR), or any errno at all (the race codes carry the error as it was left).
CODES: dict[str, int | None] = {
    "INVALID_PROTOCOL": 22,
    "ROOT_IDENTITY_CHANGED": ESTALE,
    "IDENTITY_CHANGED": ESTALE,
    "RACE_ROLLED_BACK": None,
    "RACE_PRESERVED": None,
    "EPERM": 1,
    "ENOENT": 2,
    "E2BIG": 7,
    "EACCES": 13,
    "EEXIST": 17,
    "EXDEV": 18,
    "ENOTDIR": 20,
    "EISDIR": 21,
    "EINVAL": 22,
    "ELOOP": 40,
    "ENOTEMPTY": 39,
    "FILESYSTEM_ERROR": None,
}
NAMED_ERRNOS = frozenset(e for e in CODES.values() if e is not None)


class Shape(enum.Enum):
    """The success line a command answers with."""

    PLAIN = "plain"
    SIZE = "size"
    DIRECTORY = "directory"
    BOOKMARK = "bookmark"


class Races(enum.Enum):
    """Which race codes a command can report at all; another one is not believed."""

    NONE = "none"
    PRESERVED_ONLY = "preserved_only"
    BOTH = "both"


@dataclass(frozen=True)
class Command:
    """One row of the command table: the name, its success shape and its race codes."""

    name: str
    shape: Shape = Shape.PLAIN
    races: Races = Races.NONE


@dataclass
class Output:
    """How one run went: what came on standard output, whether standard error saw a byte, how it ended."""

    head: bytes = b""  # the line without its line feed, or everything before one when none came
    has_line: bool = False
    after_line: int = 0  # bytes received after the line (content, capped at what the line allowed)
    content_limit: int = 0  # bytes the line allowed after it
    overflowed: bool = False  # more output than could belong to an answer came; the helper was stopped
    stderr_written: bool = False
    exit_status: int = -1
    signal: int = 0
    timed_out: bool = False  # stopped by its time limit
    cancelled: bool = False  # stopped by the call's cancel


# A flat JSON object as the helper prints it: strings without escapes or control characters,
# integers without leading zeros, booleans. Spaces, tabs and carriage returns between tokens.
_SPACE = r"[ \t\r]*"
_STRING = r'"([^"\\\x00-\x1f]*)"'
_VALUE = r'(?:"(?P<s>[^"\\\x00-\x1f]*)"|(?P<i>-?(?:0|[1-9][0-9]*))(?![0-9])|(?P<b>true|false))'
_MEMBER = re.compile(_SPACE + _STRING + _SPACE + ":" + _SPACE + _VALUE + _SPACE)
_OPEN = re.compile(_SPACE + r"\{" + _SPACE)


def parse_flat_object(line: str) -> dict[str, str | int | bool] | None:
    """The members of the object that is the whole line (integers as int), or None when it is not such an
    object or names a key twice."""
    match = _OPEN.match(line)
    if match is None:
        return None
    at = match.end()
    members: dict[str, str | int | bool] = {}
    if line.startswith("}", at):
        at += 1
    else:
        while True:
            member = _MEMBER.match(line, at)
            if member is None or member.group(1) in members:
                return None
            value: str | int | bool
            if member.group("s") is not None:
                value = member.group("s")
            elif member.group("i") is not None:
                value = int(member.group("i"))
            else:
                value = member.group("b") == "true"
            members[member.group(1)] = value
            at = member.end()
            if line.startswith(",", at):
                at += 1
                continue
            if line.startswith("}", at):
                at += 1
                break
            return None
    return members if line[at:].strip(" \t\r") == "" else None


_DECIMAL = re.compile(r"0|[1-9][0-9]{0,19}")
_HEX = re.compile(r"(?:[0-9a-f]{2})+")


def _decimal(members: dict[str, str | int | bool], key: str) -> int | None:
    """An unsigned 64-bit decimal string as the helper prints it: digits only, no leading zero."""
    value = members.get(key)
    if not isinstance(value, str) or _DECIMAL.fullmatch(value) is None or int(value) >= 1 << 64:
        return None
    return int(value)


def _is_bool(value: object) -> bool:
    return isinstance(value, bool)


def content_allowance(command: Command, head: bytes, size_bound: int) -> int:
    """How many bytes may follow this line: the announced size of a well-formed size line, else none."""
    if command.shape is not Shape.SIZE:
        return 0
    try:
        members = parse_flat_object(head.decode("utf-8"))
    except UnicodeDecodeError:
        return 0
    if members is None or members.keys() != {"ok", "size"} or members["ok"] is not True:
        return 0
    size = _decimal(members, "size")
    return size if size is not None and size <= min(size_bound, MAX_CONTENT_SIZE) else 0


def interpret(command: Command, output: Output, subject: str = "") -> DirectoryIdentity | Bookmark | int | None:
    """The payload of a success (directory, bookmark, content size or None), or the failure raised.

    The content of a size line has already gone to its sink; its size is returned once all of it came.
    """
    line = output.head[:MAX_LINE_LENGTH].decode("utf-8", "replace")

    def broken(reason: str, kind: type[HelperError] = HelperError) -> HelperError:
        return kind(command.name, reason, 0, line, output.exit_status, output.signal, subject)

    # A stopped run is reported as stopped whatever it answered in its grace period.
    if output.cancelled:
        raise broken("cancelled", HelperCancelled)
    if output.timed_out:
        raise broken("timed_out", HelperTimeout)
    if output.signal != 0:
        raise broken("killed_by_signal")
    if output.exit_status == EXIT_NOT_DELIVERED:
        raise broken("not_delivered", ResultNotDelivered)
    if output.stderr_written:
        raise broken("unexpected_stderr")
    if not output.head and not output.has_line:
        raise broken("no_line")
    if not output.has_line:
        raise broken("extra_output" if output.overflowed else "malformed_line")
    if output.overflowed:
        raise broken("extra_output")
    try:
        members = parse_flat_object(output.head.decode("utf-8"))
    except UnicodeDecodeError:
        members = None
    if members is None:
        raise broken("malformed_line")
    ok = members.get("ok")
    if not _is_bool(ok):
        raise broken("wrong_shape")

    if ok is False:
        if output.after_line:
            raise broken("extra_output")
        code, number = members.get("code"), members.get("errno")
        if members.keys() != {"ok", "code", "errno"} or not isinstance(code, str) or _is_bool(number) \
                or not isinstance(number, int):
            raise broken("wrong_shape")
        if code not in CODES:
            raise broken("unknown_code")
        expected = CODES[code]
        fits = 0 < number <= 0x7FFFFFFF and (expected is None or expected == number)
        if code == "FILESYSTEM_ERROR" and number in NAMED_ERRNOS:
            fits = False
        if code == "RACE_ROLLED_BACK" and command.races is not Races.BOTH:
            fits = False
        if code == "RACE_PRESERVED" and command.races is Races.NONE:
            fits = False
        if not fits:
            raise broken("wrong_shape")
        if output.exit_status != (2 if code == "INVALID_PROTOCOL" else 10):
            raise broken("exit_status_mismatch")
        raise CODE_CLASSES.get(code, Failure)(command.name, code, number, subject)

    if output.exit_status != 0:
        raise broken("exit_status_mismatch")
    if command.shape is Shape.PLAIN:
        if members.keys() != {"ok"}:
            raise broken("wrong_shape")
        payload: DirectoryIdentity | Bookmark | int | None = None
    elif command.shape is Shape.DIRECTORY:
        numbers = [_decimal(members, key) for key in ("device", "inode", "uid", "mode")]
        if members.keys() != {"ok", "device", "inode", "uid", "mode"} or None in numbers:
            raise broken("wrong_shape")
        device, inode, uid, mode = (n for n in numbers if n is not None)
        if mode > 0xFFFF or not stat.S_ISDIR(mode):
            raise broken("wrong_shape")
        payload = DirectoryIdentity(device, inode, uid, mode)
    elif command.shape is Shape.BOOKMARK:
        numbers = [_decimal(members, key) for key in ("device", "inode", "uid")]
        text = members.get("bookmark")
        if members.keys() != {"ok", "bookmark", "device", "inode", "uid"} or None in numbers \
                or not isinstance(text, str) or len(text) > 131072 or _HEX.fullmatch(text) is None:
            raise broken("wrong_shape")
        device, inode, uid = (n for n in numbers if n is not None)
        payload = Bookmark(text, device, inode, uid)
    else:
        if members.keys() != {"ok", "size"} or output.content_limit != _decimal(members, "size"):
            raise broken("wrong_shape")
        if output.after_line < output.content_limit:
            raise broken("missing_bytes")
        payload = output.after_line
    if command.shape is not Shape.SIZE and output.after_line:
        raise broken("extra_output")
    return payload
