"""Shared pieces of the Python client's tests: the built program, scratch roots with small trees, and fake
helpers that print a given answer."""

from __future__ import annotations

import os
import shutil
import stat
import tempfile
import unittest

import anchorfs

BINARY = os.environ.get("ANCHORFS_BINARY", "")


def need_binary(test: unittest.TestCase) -> None:
    if not BINARY:
        test.skipTest("ANCHORFS_BINARY names no built program")


class Scratch:
    """A temporary root (0755) holding a tree built from lines: "d/" is a directory, "f=text" a file with
    that content. Everything below a top-level name starting with "p" is private (0700 / 0600), the rest
    0755 / 0644."""

    def __init__(self, test: unittest.TestCase, lines: list[str] = ()) -> None:
        self.base = tempfile.mkdtemp(prefix="anchorfs-py-")
        test.addCleanup(shutil.rmtree, self.base, True)
        self.path = os.path.join(self.base, "root")
        os.mkdir(self.path, 0o755)
        for line in lines:
            name, _, text = line.partition("=")
            private = name.startswith("p")
            if name.endswith("/"):
                os.mkdir(self.at(name), 0o700 if private else 0o755)
                os.chmod(self.at(name), 0o700 if private else 0o755)
            else:
                with open(self.at(name), "wb") as file:
                    file.write(text.encode())
                os.chmod(self.at(name), 0o600 if private else 0o644)
        self.root = anchorfs.anchor_root(self.path)

    def at(self, relative: str) -> str:
        return os.path.join(self.path, relative.rstrip("/"))

    def exists(self, relative: str) -> bool:
        return os.path.lexists(self.at(relative))

    def content(self, relative: str) -> bytes:
        with open(self.at(relative), "rb") as file:
            return file.read()

    def mode(self, relative: str) -> int:
        return os.lstat(self.at(relative)).st_mode

    def describe(self, relative: str) -> anchorfs.FileDescription:
        return anchorfs.describe_file(self.at(relative))

    def identity(self, relative: str) -> anchorfs.FileIdentity:
        return anchorfs.identity(self.at(relative))


def fake_helper(test: unittest.TestCase, stdout: bytes, stderr: bytes = b"", status: int = 0,
                body: str = "") -> str:
    """A program that prints ``stdout`` and ``stderr`` and exits with ``status``, after running ``body``
    (shell). It keeps a copy of its argument vector and environment beside itself."""
    directory = tempfile.mkdtemp(prefix="anchorfs-fake-")
    test.addCleanup(shutil.rmtree, directory, True)
    for name, data in (("out", stdout), ("err", stderr)):
        with open(os.path.join(directory, name), "wb") as file:
            file.write(data)
    script = os.path.join(directory, "anchorfs")
    with open(script, "w") as file:
        file.write(f"""#!/bin/sh
d={directory}
printf '%s\\n' "$@" > "$d/args"
/usr/bin/env > "$d/env"
{body}
/bin/cat "$d/out"
/bin/cat "$d/err" >&2
exit {status}
""")
    os.chmod(script, stat.S_IRWXU)
    return script
