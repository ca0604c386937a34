"""Failures as exceptions.

A failure line from the helper raises :class:`Error` (or the subclass its code
names) with the line's ``code`` and ``errno``. An answer that does not follow
the protocol raises :class:`HelperError`: it is no answer, and a mutating
command may or may not have taken effect.
"""

from __future__ import annotations


class Error(Exception):
    """The helper reported a failure: ``code`` as the line spells it ("ENOENT", ...) and its ``errno``."""

    def __init__(self, command: str, code: str | None, errno: int, detail: str = "") -> None:
        self.command = command
        self.code = code
        self.errno = errno
        text = f"{command}: {code} (errno {errno})" if code is not None else f"{command}: {detail}"
        super().__init__(text)


class ProtocolError(Error):
    """INVALID_PROTOCOL: the command line itself was refused (exit status 2); nothing was touched."""


class RootIdentityChanged(Error):
    """ROOT_IDENTITY_CHANGED: the root is not the directory of the anchor; nothing was touched."""


class IdentityChanged(Error):
    """IDENTITY_CHANGED: a directory or file is no longer the one that was described or proven."""


class RaceRolledBack(Error):
    """RACE_ROLLED_BACK: a check after the mutation failed and the mutation was undone."""


class RacePreserved(Error):
    """RACE_PRESERVED: a check after the mutation failed and the new state had to stay in place."""


class HelperError(Error):
    """The helper could not be run or its output broke the protocol; ``code`` is None.

    ``reason`` names what was wrong ("malformed_line", "exit_status_mismatch", ...),
    ``errno`` is the system error that caused it where there was one (else 0),
    ``line`` the result line as far as there was one, ``exit_status`` (-1 when
    none) and ``signal`` (0 when none) how the helper ended. A mutating command
    may have taken effect: re-check the tree or run the matching recover command.
    """

    def __init__(self, command: str, reason: str, errno: int = 0, line: str = "", exit_status: int = -1,
                 signal: int = 0) -> None:
        self.reason = reason
        self.line = line
        self.exit_status = exit_status
        self.signal = signal
        detail = f"helper error {reason}" + (f" (errno {errno})" if errno else "")
        detail += f", exit status {exit_status}" if exit_status >= 0 else ""
        detail += f", signal {signal}" if signal else ""
        detail += f", line {line!r}" if line else ""
        super().__init__(command, None, errno, detail)


class ResultNotDelivered(HelperError):
    """Exit status 11: the helper could not write its result whole; the command may have taken effect."""


class HelperTimeout(HelperError):
    """The helper did not finish within the timeout and was killed; the command may have taken effect."""


# The failure codes with a class of their own; every other known code raises Error.
CODE_CLASSES: dict[str, type[Error]] = {
    "INVALID_PROTOCOL": ProtocolError,
    "ROOT_IDENTITY_CHANGED": RootIdentityChanged,
    "IDENTITY_CHANGED": IdentityChanged,
    "RACE_ROLLED_BACK": RaceRolledBack,
    "RACE_PRESERVED": RacePreserved,
}
