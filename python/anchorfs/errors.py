"""Failures as exceptions.

Everything a helper call raises is an :class:`Error`, in one of three kinds, each caught with one clause:

- :class:`Failure`: the helper answered with a failure line. ``code`` (a :class:`Code`) and ``errno`` say
  what the protocol says it left on disk.
- :class:`HelperError`: the helper could not be run, broke the protocol, or was stopped by a time limit or a
  cancel. It is no answer: a mutating command may or may not have taken effect.
- :class:`ArgumentRefused` (also a ``ValueError``): the client refused an argument before any process
  started, naming the rule it broke. Nothing was run.

Every exception pickles (it crosses a ``ProcessPoolExecutor`` intact), and its message names the command, the
paths it was given and, where a code has a usual remedy, what to do.
"""

from __future__ import annotations

import enum


class Code(enum.StrEnum):
    """The codes of a failure line, spelled as the line spells them (each compares equal to that text)."""

    INVALID_PROTOCOL = "INVALID_PROTOCOL"
    ROOT_IDENTITY_CHANGED = "ROOT_IDENTITY_CHANGED"
    IDENTITY_CHANGED = "IDENTITY_CHANGED"
    RACE_ROLLED_BACK = "RACE_ROLLED_BACK"
    RACE_PRESERVED = "RACE_PRESERVED"
    EPERM = "EPERM"
    ENOENT = "ENOENT"
    E2BIG = "E2BIG"
    EACCES = "EACCES"
    EEXIST = "EEXIST"
    EXDEV = "EXDEV"
    ENOTDIR = "ENOTDIR"
    EISDIR = "EISDIR"
    EINVAL = "EINVAL"
    ELOOP = "ELOOP"
    ENOTEMPTY = "ENOTEMPTY"
    FILESYSTEM_ERROR = "FILESYSTEM_ERROR"


# What a code usually means and what to do, per command where the command gives it a meaning of its own.
_REMEDIES: dict[tuple[str, str], str] = {
    ("rename-excl", "EEXIST"): "the destination is taken",
    ("link-excl", "EEXIST"): "the destination, staging or quarantine name is taken",
    ("unlink-checked", "EEXIST"): "the staging or quarantine name is taken: choose fresh ones",
    ("create-file", "EEXIST"): "the name is taken: choose another or remove the file first",
    ("create-private-file", "EEXIST"): "the name is taken: choose another or remove the file first",
    ("create-private-file-staged", "EEXIST"):
        "a name is taken: a staging file left by an earlier run goes with remove_private_staging_file",
    ("create-private-file-staged", "EINVAL"):
        "the content was refused (short input?): the staging file stays for remove_private_staging_file",
    ("remove-private-tree", "E2BIG"): "more entries than the budget: run it again to go on",
    ("ensure-dir", "ENOENT"): "the parent directory does not exist: ensure it first",
    ("ensure-private-dir", "ENOENT"): "the parent directory does not exist: ensure it first",
    ("create-file", "ENOENT"): "the parent directory does not exist: ensure_dir it first",
    ("create-private-file", "ENOENT"): "the parent directory does not exist: ensure_private_dir it first",
}
_CODE_REMEDIES: dict[str, str] = {
    "INVALID_PROTOCOL": "the helper refused the command line: a client and helper of different versions?",
    "ROOT_IDENTITY_CHANGED": "the root is not the anchored directory: anchor it again if it was replaced on purpose",
    "IDENTITY_CHANGED": "a file or directory is not the one described: describe it again before retrying",
    "RACE_ROLLED_BACK": "another process changed the tree meanwhile and the change was undone: retry",
    "RACE_PRESERVED": "another process changed the tree meanwhile and the new state stays: check the tree",
    "EEXIST": "the name is taken",
    "ENOENT": "a name on the way does not exist",
    "ENOTDIR": "a name on the way is not a directory",
    "ELOOP": "a symbolic link is in the way",
    "EXDEV": "a mount point is in the way, or the names are in different directories",
    "EACCES": "permission denied: every directory on the way must be readable by the caller",
    "EPERM": "not permitted",
    "ENOTEMPTY": "the directory is not empty",
    "EISDIR": "the name is a directory",
    "EINVAL": "an argument was refused, or the file is not of the kind the command needs",
}


def remedy(command: str, code: str) -> str:
    """What a failure with ``code`` usually means for ``command``, and what to do; "" when nothing usual."""
    return _REMEDIES.get((command, code)) or _CODE_REMEDIES.get(code, "")


def _where(command: str, subject: str) -> str:
    return f"{command} {subject}" if subject else command


class Error(Exception):
    """Base of everything a helper call raises: ``command`` and ``subject`` (the paths it was given)."""

    command: str
    subject: str

    def __reduce__(self):  # type: ignore[no-untyped-def]
        # Rebuilt from the arguments it was made with, not from the message, so that it pickles.
        return (self.__class__, self._arguments)


class Failure(Error):
    """The helper answered with a failure line: ``code`` (a :class:`Code`) and its ``errno``."""

    def __init__(self, command: str, code: str, errno: int, subject: str = "") -> None:
        self._arguments = (command, code, errno, subject)
        self.command = command
        self.subject = subject
        self.code = Code(code) if code in Code.__members__ else code
        self.errno = errno
        text = f"{_where(command, subject)}: {code} (errno {errno})"
        advice = remedy(command, code)
        super().__init__(text + (f": {advice}" if advice else ""))


class ProtocolError(Failure):
    """INVALID_PROTOCOL: the command line itself was refused (exit status 2); nothing was touched."""


class RootIdentityChanged(Failure):
    """ROOT_IDENTITY_CHANGED: the root is not the directory of the anchor; nothing was touched."""


class IdentityChanged(Failure):
    """IDENTITY_CHANGED: a directory or file is no longer the one that was described or proven."""


class RaceRolledBack(Failure):
    """RACE_ROLLED_BACK: a check after the mutation failed and the mutation was undone."""


class RacePreserved(Failure):
    """RACE_PRESERVED: a check after the mutation failed and the new state had to stay in place."""


class HelperError(Error):
    """The helper could not be run, its output broke the protocol, or it was stopped; ``code`` is None.

    ``reason`` names what was wrong ("malformed_line", "exit_status_mismatch", "timed_out", ...),
    ``errno`` is the system error that caused it where there was one (else 0),
    ``line`` the result line as far as there was one, ``exit_status`` (-1 when
    none) and ``signal`` (0 when none) how the helper ended. A mutating command
    may have taken effect: re-check the tree or run the matching recover command.
    """

    code = None

    def __init__(self, command: str, reason: str, errno: int = 0, line: str = "", exit_status: int = -1,
                 signal: int = 0, subject: str = "") -> None:
        self._arguments = (command, reason, errno, line, exit_status, signal, subject)
        self.command = command
        self.subject = subject
        self.reason = reason
        self.errno = errno
        self.line = line
        self.exit_status = exit_status
        self.signal = signal
        detail = f"helper error {reason}" + (f" (errno {errno})" if errno else "")
        detail += f", exit status {exit_status}" if exit_status >= 0 else ""
        detail += f", signal {signal}" if signal else ""
        detail += f", line {line!r}" if line else ""
        if reason == "spawn_failed":
            detail += ": check the program's path"
        else:
            detail += ": the command may have taken effect; check the tree or run the matching recover command"
        super().__init__(f"{_where(command, subject)}: {detail}")


class ResultNotDelivered(HelperError):
    """Exit status 11: the helper could not write its result whole; the command may have taken effect."""


class HelperTimeout(HelperError):
    """The run outlived its time limit: its input was closed, and it was killed if it had not ended within
    the grace period. ``line`` holds what it answered meanwhile, if anything (a create cut short answers
    EINVAL and has removed its file). The command may have taken effect."""


class HelperCancelled(HelperError):
    """The call was cancelled: stopped as a timed-out run is (input closed, grace period, then SIGKILL)."""


class ArgumentRefused(Error, ValueError):
    """An argument the helper would refuse, refused by the client before any process started: ``argument``
    names the parameter, ``rule`` the rule it broke. Nothing was run."""

    def __init__(self, command: str, argument: str, value: str, rule: str) -> None:
        self._arguments = (command, argument, value, rule)
        self.command = command
        self.subject = ""
        self.code = None
        self.errno = 22  # EINVAL, as the helper would have answered
        self.argument = argument
        self.value = value
        self.rule = rule
        super().__init__(f"{command}: {argument} {value!r} refused before the helper ran: {rule}")


# The failure codes with a class of their own; every other known code raises Failure.
CODE_CLASSES: dict[str, type[Failure]] = {
    "INVALID_PROTOCOL": ProtocolError,
    "ROOT_IDENTITY_CHANGED": RootIdentityChanged,
    "IDENTITY_CHANGED": IdentityChanged,
    "RACE_ROLLED_BACK": RaceRolledBack,
    "RACE_PRESERVED": RacePreserved,
}
