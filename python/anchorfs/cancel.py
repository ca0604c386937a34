"""Cancelling a call from another thread."""

from __future__ import annotations

import os
import select


class Cancel:
    """A cancel a caller can trigger from any thread (or a signal handler): pass it as ``cancel=`` to a
    Helper method. ``cancel()`` makes its descriptor readable; a call then stops its run as at a time limit
    (input closed, grace period, SIGKILL) and raises HelperCancelled. Once cancelled it stays so; ``close()``
    (or ``with``) releases its pipe."""

    def __init__(self) -> None:
        self._read, self._write = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)

    def fileno(self) -> int:
        return self._read

    def cancel(self) -> None:
        try:
            os.write(self._write, b"x")
        except BlockingIOError:
            pass  # cancelled already

    @property
    def cancelled(self) -> bool:
        return bool(select.select([self._read], [], [], 0)[0])

    def close(self) -> None:
        for fd in (self._read, self._write):
            try:
                os.close(fd)
            except OSError:
                pass
        self._read = self._write = -1

    def __enter__(self) -> Cancel:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()
