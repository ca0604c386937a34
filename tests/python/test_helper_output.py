"""What the client believes of a helper's output: fake helpers print answers that break the protocol (each
must raise HelperError with its reason) or failure lines the real program reports only under a race."""

from __future__ import annotations

import io
import os
import time
import unittest

import anchorfs
from support import fake_helper

ROOT = anchorfs.RootAnchor("/nonexistent-root", 1, 2, 0)

# Which command each row runs, by its success shape.
CALLS = {
    "plain": lambda h: h.remove_private_file(ROOT, "f", 1, "0" * 64),
    "create": lambda h: h.create_file(ROOT, "f", 0o644, b"x" * 200000),
    "recover": lambda h: h.recover_rename(ROOT, *[anchorfs.BookmarkedParent("00", 1, 2, 0, ".", "f")] * 2,
                                          anchorfs.FileDescription(anchorfs.FileIdentity(1, 2, 1, 0, 0o100644),
                                                                   1, 0, "0" * 64)),
    "directory": lambda h: h.ensure_dir(ROOT, "d"),
    "bookmark": lambda h: h.bookmark_parent(ROOT, "d/f"),
    "size": lambda h: h.read_private_file(ROOT, "f", 100),
    "size into": lambda h: h.read_private_file_into(ROOT, "f", io.BytesIO(), 100),
}

OK = b'{"ok":true}\n'

# (call, stdout, stderr, exit status, reason)
BROKEN = [
    ("plain", b"", b"", 0, "no_line"),
    ("plain", b"garbage\n", b"", 0, "malformed_line"),
    ("plain", b'{"ok":true}', b"", 0, "malformed_line"),
    ("plain", b'{"ok":true,"ok":true}\n', b"", 0, "malformed_line"),
    ("plain", b'{"ok":false,"code":"\\u0045NOENT","errno":2}\n', b"", 10, "malformed_line"),
    ("plain", b'{"ok":1}\n', b"", 0, "wrong_shape"),
    ("plain", b'{"ok":true,"size":"1"}\n', b"", 0, "wrong_shape"),
    ("plain", OK + b"x", b"", 0, "extra_output"),
    ("plain", b"{" * 200000, b"", 0, "extra_output"),
    ("plain", OK, b"oops", 0, "unexpected_stderr"),
    ("plain", OK, b"", 10, "exit_status_mismatch"),
    ("plain", b'{"ok":false,"code":"ENOENT","errno":2}\n', b"", 0, "exit_status_mismatch"),
    ("plain", b'{"ok":false,"code":"INVALID_PROTOCOL","errno":22}\n', b"", 10, "exit_status_mismatch"),
    ("plain", b'{"ok":false,"code":"ENOENT","errno":3}\n', b"", 10, "wrong_shape"),
    ("plain", b'{"ok":false,"code":"ENOENT","errno":"2"}\n', b"", 10, "wrong_shape"),
    ("plain", b'{"ok":false,"code":"FILESYSTEM_ERROR","errno":116}\n', b"", 10, "wrong_shape"),
    ("plain", b'{"ok":false,"code":"ENOSPC","errno":28}\n', b"", 10, "unknown_code"),
    ("plain", b'{"ok":false,"code":"ENOENT","errno":2}\n' + b"x", b"", 10, "extra_output"),
    ("recover", b'{"ok":false,"code":"RACE_PRESERVED","errno":116}\n', b"", 10, "wrong_shape"),
    ("directory", b'{"ok":false,"code":"RACE_ROLLED_BACK","errno":116}\n', b"", 10, "wrong_shape"),
    ("directory", b'{"ok":true,"device":"1","inode":"2","uid":"0","mode":"33188"}\n', b"", 0, "wrong_shape"),
    ("directory", b'{"ok":true,"device":"01","inode":"2","uid":"0","mode":"16832"}\n', b"", 0, "wrong_shape"),
    ("directory", OK, b"", 0, "wrong_shape"),
    ("bookmark", b'{"ok":true,"bookmark":"abc","device":"1","inode":"2","uid":"0"}\n', b"", 0, "wrong_shape"),
    ("bookmark", b'{"ok":true,"bookmark":"AB","device":"1","inode":"2","uid":"0"}\n', b"", 0, "wrong_shape"),
    ("size", b'{"ok":true,"size":"5"}\nabc', b"", 0, "missing_bytes"),
    ("size into", b'{"ok":true,"size":"3"}\nabcd', b"", 0, "extra_output"),
    ("size", b'{"ok":true,"size":"101"}\n', b"", 0, "wrong_shape"),
    ("size", b'{"ok":true,"size":"18446744073709551616"}\n', b"", 0, "wrong_shape"),
    ("size", b'{"ok":true,"size":"3"}\nabc', b"", 10, "exit_status_mismatch"),
    # Exit status 11: the line or the bytes after it were not written whole.
    ("plain", OK, b"", 11, "not_delivered"),
    ("create", b'{"ok":tr', b"", 11, "not_delivered"),
    ("size", b'{"ok":true,"size":"5"}\nab', b"", 11, "not_delivered"),
]

# Failure lines that the real program prints only under a race or a rare fault: (call, line, exit, class).
REPORTED = [
    ("plain", b'{"ok":false,"code":"INVALID_PROTOCOL","errno":22}\n', 2, anchorfs.ProtocolError),
    ("create", b'{"ok":false,"code":"RACE_ROLLED_BACK","errno":116}\n', 10, anchorfs.RaceRolledBack),
    ("directory", b'{"ok":false,"code":"RACE_PRESERVED","errno":5}\n', 10, anchorfs.RacePreserved),
    ("size", b'{"ok":false,"code":"FILESYSTEM_ERROR","errno":28}\n', 10, anchorfs.Failure),
]


class HelperOutput(unittest.TestCase):
    def test_output_that_breaks_the_protocol_raises_helper_error(self) -> None:
        for call, stdout, stderr, status, reason in BROKEN:
            with self.subTest(call=call, stdout=stdout[:60], status=status):
                helper = anchorfs.Helper(fake_helper(self, stdout, stderr, status), timeout=10)
                with self.assertRaises(anchorfs.HelperError) as caught:
                    CALLS[call](helper)
                self.assertEqual(caught.exception.reason, reason)
                self.assertIsNone(caught.exception.code)
                expected = anchorfs.ResultNotDelivered if status == 11 else anchorfs.HelperError
                self.assertIs(type(caught.exception), expected)

    def test_failure_lines_raise_the_class_of_their_code(self) -> None:
        for call, line, status, kind in REPORTED:
            with self.subTest(line=line):
                helper = anchorfs.Helper(fake_helper(self, line, b"", status), timeout=10)
                with self.assertRaises(anchorfs.Failure) as caught:
                    CALLS[call](helper)
                self.assertIs(type(caught.exception), kind)
                code = line.split(b'"code":"')[1].split(b'"')[0].decode()
                self.assertEqual((caught.exception.code, caught.exception.errno),
                                 (code, int(line.split(b'"errno":')[1].rstrip(b"}\n"))))

    def test_helper_gets_exact_arguments_and_an_empty_environment(self) -> None:
        script = fake_helper(self, OK)
        anchorfs.Helper(script).remove_private_file(ROOT, "d/f", 3, "a" * 64)
        directory = os.path.dirname(script)
        with open(os.path.join(directory, "args")) as args, open(os.path.join(directory, "env")) as env:
            self.assertEqual(args.read().split("\n")[:-1],
                             ["remove-private-file", "/nonexistent-root", "1", "2", "0", "d/f", "3", "a" * 64])
            # The shell itself sets PWD; nothing of the parent's environment arrives.
            self.assertEqual([v for v in env.read().split("\n") if v and not v.startswith(("PWD=", "OLDPWD="))],
                             [])

    def test_helper_killed_by_a_signal_or_missing(self) -> None:
        helper = anchorfs.Helper(fake_helper(self, OK, body="kill -9 $$"))
        with self.assertRaises(anchorfs.HelperError) as caught:
            CALLS["plain"](helper)
        self.assertEqual((caught.exception.reason, caught.exception.signal), ("killed_by_signal", 9))
        with self.assertRaises(anchorfs.HelperError) as caught:
            CALLS["plain"](anchorfs.Helper("/nonexistent/anchorfs"))
        self.assertEqual((caught.exception.reason, caught.exception.errno), ("spawn_failed", 2))

    def test_helper_past_its_timeout_is_killed(self) -> None:
        helper = anchorfs.Helper(fake_helper(self, OK, body="exec /bin/sleep 30"), timeout=0.3)
        started = time.monotonic()
        with self.assertRaises(anchorfs.HelperTimeout) as caught:
            CALLS["create"](helper)
        self.assertEqual(caught.exception.reason, "timed_out")
        self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()
