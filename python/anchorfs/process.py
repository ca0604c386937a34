"""Starting the helper and talking to it: content in, line and bytes out, through one selector loop so that
neither side can block the other whatever the sizes (64 MiB in while nothing comes out, or 64 MiB out after a
line)."""

from __future__ import annotations

import hashlib
import os
import select
import selectors
import stat
import subprocess
import time
from collections.abc import Callable, Sequence
from typing import BinaryIO

from .result_line import MAX_LINE_LENGTH, Output

CHUNK_SIZE = 65536

# How long a stopped run (time limit or cancel) is given, after its input was closed, to end on its own
# before it is killed with SIGKILL. The C++ and Node clients give the same.
GRACE_PERIOD = 2.0


class Input:
    """The bytes for the helper's standard input: a buffer, or a binary file read from its position on."""

    def __init__(self, data: bytes | bytearray | memoryview | BinaryIO | None) -> None:
        self._buffer: memoryview | None = None
        self._file: BinaryIO | None = None
        if data is None:
            self.size = 0
        elif isinstance(data, (bytes, bytearray, memoryview)):
            self._buffer = memoryview(data).cast("B")
            self.size = len(self._buffer)
        elif hasattr(data, "read"):
            self._file = data
            self.size = _remaining_size(data)
        else:
            raise TypeError("data must be bytes or a binary file object")
        self._sent = 0
        self._pending = memoryview(b"")
        self.digest = hashlib.sha256()  # of the bytes the helper took, in order

    def next_chunk(self) -> memoryview:
        """The bytes to write next; empty when all is written or the file ended early."""
        if not self._pending:
            left = min(CHUNK_SIZE, self.size - self._sent)
            if left <= 0:
                return memoryview(b"")
            if self._buffer is not None:
                self._pending = self._buffer[self._sent:self._sent + left]
            else:
                assert self._file is not None
                # A file that shrank since its size was taken ends the input early; the helper then refuses
                # the short input with EINVAL.
                self._pending = memoryview(self._file.read(left) or b"")
        return self._pending

    def consumed(self, count: int) -> None:
        self.digest.update(self._pending[:count])
        self._pending = self._pending[count:]
        self._sent += count

    @property
    def sent(self) -> int:
        """How many bytes the helper took."""
        return self._sent


def _remaining_size(file: BinaryIO) -> int:
    """The bytes of a binary file from its position to its end: the size the command announces."""
    try:
        fd = file.fileno()
    except (AttributeError, OSError, ValueError):
        fd = -1
    if fd >= 0:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise ValueError("a file object that is not a regular file has no known size")
    if not file.seekable():
        raise ValueError("the file object's size cannot be known: it is not seekable")
    position = file.tell()
    end = file.seek(0, os.SEEK_END)
    file.seek(position)
    return max(0, end - position)


def _wait(process: subprocess.Popen[bytes], timeout: float | None) -> int:
    """process.wait(timeout), woken by the child's end itself through a pidfd where the kernel has one:
    Popen.wait with a timeout polls with growing sleeps, which costs a run about a millisecond."""
    if timeout is not None:
        try:
            pidfd = os.pidfd_open(process.pid)
        except (AttributeError, OSError):
            pidfd = -1
        if pidfd >= 0:
            try:
                if not select.select([pidfd], [], [], timeout)[0]:
                    raise subprocess.TimeoutExpired(process.args, timeout)
            finally:
                os.close(pidfd)
            timeout = None  # it has ended: reap it
    return process.wait(timeout)


def exchange(argv: Sequence[str], content: Input, timeout: float | None, cancel_fd: int | None,
             allowance: Callable[[bytes], int], sink: Callable[[bytes], object]) -> Output:
    """Runs the helper with ``argv`` (argv[0] its path) with no shell and an empty environment, writes the
    content to its standard input and closes it, reads its result line and hands the bytes the line allows
    after it to ``sink``, notes any byte on standard error, and waits for it. A helper that sends more than
    its answer may hold is killed. A run that outlives ``timeout`` seconds, or whose ``cancel_fd`` becomes
    readable, is stopped: its input is closed (a create then removes what it made), its output is still read,
    and it is killed only if it has not ended within GRACE_PERIOD. Raises OSError when it cannot be started."""
    now = time.monotonic()
    deadline = None if timeout is None else now + timeout
    grace_end: float | None = None
    process = subprocess.Popen(list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env={}, close_fds=True, shell=False, bufsize=0)
    output = Output()
    killed = False
    try:
        assert process.stdin is not None and process.stdout is not None and process.stderr is not None
        stdin, stdout, stderr = process.stdin, process.stdout, process.stderr
        with selectors.DefaultSelector() as selector:
            streams = {stdout, stderr}
            if content.size:
                os.set_blocking(stdin.fileno(), False)
                selector.register(stdin, selectors.EVENT_WRITE)
                streams.add(stdin)
            else:
                stdin.close()
            selector.register(stdout, selectors.EVENT_READ)
            selector.register(stderr, selectors.EVENT_READ)
            if cancel_fd is not None:
                selector.register(cancel_fd, selectors.EVENT_READ)

            def close_input() -> None:
                if stdin in streams:
                    selector.unregister(stdin)
                    streams.discard(stdin)
                stdin.close()

            def begin_stop() -> None:
                nonlocal grace_end
                close_input()
                if cancel_fd is not None and cancel_fd in selector.get_map():
                    selector.unregister(cancel_fd)
                grace_end = time.monotonic() + GRACE_PERIOD

            while streams:
                limit = grace_end if grace_end is not None else deadline
                remaining = None if limit is None else limit - time.monotonic()
                if remaining is not None and remaining <= 0:
                    if grace_end is not None:
                        break  # the grace period is over: killed below
                    output.timed_out = True
                    begin_stop()
                    continue
                for key, _ in selector.select(remaining):
                    if key.fileobj is stdin:
                        if stdin not in streams:
                            continue
                        chunk = content.next_chunk()
                        done = not chunk
                        if chunk:
                            try:
                                content.consumed(os.write(stdin.fileno(), chunk))
                                done = not content.next_chunk()
                            except BlockingIOError:
                                pass
                            except BrokenPipeError:
                                done = True  # the helper decided without the rest
                        if done:
                            close_input()
                    elif key.fileobj is stderr:
                        data = os.read(stderr.fileno(), CHUNK_SIZE)
                        if data:
                            output.stderr_written = True
                        else:
                            selector.unregister(stderr)
                            streams.discard(stderr)
                    elif key.fileobj is stdout:
                        data = os.read(stdout.fileno(), CHUNK_SIZE)
                        if not data:
                            selector.unregister(stdout)
                            streams.discard(stdout)
                            continue
                        if not output.has_line:
                            output.head += data
                            end = output.head.find(b"\n")
                            if end < 0:
                                if len(output.head) > MAX_LINE_LENGTH:
                                    output.overflowed = True
                                continue
                            data = output.head[end + 1:]
                            output.head = output.head[:end]
                            output.has_line = True
                            output.content_limit = allowance(output.head)
                        room = output.content_limit - output.after_line
                        if data[:room]:
                            sink(data[:room])
                            output.after_line += len(data[:room])
                        if len(data) > room:
                            output.overflowed = True
                    elif grace_end is None:
                        output.cancelled = True
                        begin_stop()
                        break
                    if output.overflowed:
                        break
                if output.overflowed:
                    break
        if output.overflowed or (grace_end is not None and time.monotonic() >= grace_end):
            process.kill()
            killed = not output.timed_out and not output.cancelled  # a stopped run shows its SIGKILL
        while True:
            limit = grace_end if grace_end is not None else deadline
            try:
                status = _wait(process, None if limit is None else max(0.0, limit - time.monotonic()))
                break
            except subprocess.TimeoutExpired:
                if grace_end is None:
                    # The helper closed its output but did not end within its time limit.
                    output.timed_out = True
                    grace_end = time.monotonic() + GRACE_PERIOD
                    continue
                process.kill()
                status = process.wait()
                break
    finally:
        if process.returncode is None:
            process.kill()  # a child this call started and can no longer serve
            process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream is not None and not stream.closed:
                try:
                    stream.close()
                except OSError:
                    pass
    if status >= 0:
        output.exit_status = status
    elif not killed:
        output.signal = -status
    return output
