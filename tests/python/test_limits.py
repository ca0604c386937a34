"""Calls a caller can stop and mistakes a caller can make: time limits and cancels that close the helper's
input before they kill it (every create cut mid-copy leaves no partial file), exceptions that pickle, and
arguments refused before any process starts."""

from __future__ import annotations

import concurrent.futures
import io
import os
import pathlib
import pickle
import tempfile
import time
import unittest
from collections.abc import Callable

import anchorfs
from support import BINARY, Scratch, fake_helper, need_binary

SIZE = 8 << 20


class Stalling(io.BytesIO):
    """Content whose second read stalls: it first calls ``on_stall`` (which cancels the call, or sleeps past
    its time limit), so that the helper has had a known first chunk and not the rest."""

    def __init__(self, on_stall: Callable[[], None]) -> None:
        super().__init__(b"x" * SIZE)
        self.reads = 0
        self.on_stall = on_stall

    def read(self, size: int | None = -1) -> bytes:
        self.reads += 1
        if self.reads == 2:
            self.on_stall()
        return super().read(size)


# Each create, and what a cut-short run of it must leave: (name, call, the name that must be absent,
# the name it keeps on purpose or None).
CREATES = [
    ("create_file", lambda h, s, data, **limits: h.create_file(s.root, "f", 0o644, data, **limits), "f", None),
    ("create_private_file", lambda h, s, data, **limits: h.create_private_file(s.root, "p/f", data, **limits),
     "p/f", None),
    # The staged create keeps the staging file for remove_private_staging_file; the final name stays free.
    ("create_private_file_staged",
     lambda h, s, data, **limits: h.create_private_file_staged(s.root, "p/f", "p/f.staging", data, **limits),
     "p/f", "p/f.staging"),
]


class Limits(unittest.TestCase):
    def setUp(self) -> None:
        need_binary(self)

    def test_create_stopped_mid_copy_closes_input_first_and_leaves_no_partial_file(self) -> None:
        for name, create, absent, kept in CREATES:
            for stop in ("timeout", "cancel"):
                with self.subTest(name, stop=stop):
                    scratch = Scratch(self, ["p/"])
                    helper = anchorfs.Helper(BINARY, timeout=60)
                    with anchorfs.Cancel() as cancel:
                        if stop == "cancel":
                            data, limits, kind = Stalling(cancel.cancel), {"cancel": cancel}, anchorfs.HelperCancelled
                        else:
                            data, limits, kind = Stalling(lambda: time.sleep(0.5)), {"timeout": 0.2}, \
                                anchorfs.HelperTimeout
                        started = time.monotonic()
                        with self.assertRaises(kind) as caught:
                            create(helper, scratch, data, **limits)
                    # The helper saw a short input within the grace period, removed its file and answered.
                    self.assertEqual((caught.exception.line, caught.exception.exit_status, caught.exception.signal),
                                     ('{"ok":false,"code":"EINVAL","errno":22}', 10, 0))
                    self.assertLess(time.monotonic() - started, 0.5 + anchorfs.GRACE_PERIOD)
                    self.assertFalse(scratch.exists(absent))
                    if kept is not None:
                        self.assertLess(os.lstat(scratch.at(kept)).st_size, SIZE)

    def test_call_timeout_overrides_the_helper_default(self) -> None:
        scratch = Scratch(self, [])
        for helper_default, call_timeout in ((0.0, 30.0), (0.0, None)):
            with self.subTest(call_timeout=call_timeout):
                helper = anchorfs.Helper(BINARY, timeout=helper_default)
                helper.ensure_dir(scratch.root, "d", timeout=call_timeout)
        with self.assertRaises(anchorfs.HelperTimeout):
            anchorfs.Helper(BINARY, timeout=30).ensure_dir(scratch.root, "e", timeout=0.0)


def _raise_in_worker(index: int) -> None:
    raise EXCEPTIONS[index]


# One of each class a call raises, made as the client makes them.
EXCEPTIONS: list[anchorfs.Error] = [
    anchorfs.Failure("create-file", "EEXIST", 17, "a"),
    anchorfs.ProtocolError("ensure-dir", "INVALID_PROTOCOL", 22),
    anchorfs.RootIdentityChanged("ensure-dir", "ROOT_IDENTITY_CHANGED", 116, "d"),
    anchorfs.IdentityChanged("rename-excl", "IDENTITY_CHANGED", 116, "a -> b"),
    anchorfs.RaceRolledBack("rename-excl", "RACE_ROLLED_BACK", 116, "a -> b"),
    anchorfs.RacePreserved("ensure-dir", "RACE_PRESERVED", 5, "d"),
    anchorfs.HelperError("ensure-dir", "wrong_shape", 0, '{"ok":1}', 0, 0, "d"),
    anchorfs.ResultNotDelivered("create-file", "not_delivered", 0, "", 11, 0, "f"),
    anchorfs.HelperTimeout("create-file", "timed_out", 0, "", -1, 9, "f"),
    anchorfs.HelperCancelled("create-file", "cancelled", 0, "", 10, 0, "f"),
    anchorfs.ArgumentRefused("ensure-dir", "path", "/abs", "absolute: paths are relative to the root"),
]


class Errors(unittest.TestCase):
    def test_every_exception_pickles_whole(self) -> None:
        for error in EXCEPTIONS:
            with self.subTest(type(error).__name__):
                copy = pickle.loads(pickle.dumps(error))
                self.assertIs(type(copy), type(error))
                self.assertEqual((str(copy), copy.code, copy.errno, vars(copy)), (str(error), error.code,
                                                                                   error.errno, vars(error)))

    def test_exception_raised_in_a_worker_process_arrives(self) -> None:
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            with self.assertRaises(anchorfs.RaceRolledBack) as caught:
                pool.submit(_raise_in_worker, 4).result()
        self.assertEqual(str(caught.exception), str(EXCEPTIONS[4]))

    def test_one_clause_tells_an_answer_from_no_answer(self) -> None:
        for error in EXCEPTIONS:
            with self.subTest(type(error).__name__):
                kinds = [isinstance(error, k) for k in (anchorfs.Failure, anchorfs.HelperError, anchorfs.ArgumentRefused)]
                self.assertEqual(kinds.count(True), 1)


class Arguments(unittest.TestCase):
    def test_refused_before_any_process_starts_with_the_rule(self) -> None:
        helper = anchorfs.Helper(fake_helper(self, b'{"ok":true}\n'))
        args = os.path.join(os.path.dirname(helper.binary), "args")
        root = anchorfs.RootAnchor("/nonexistent-root", 1, 2, 0)
        big = tempfile.TemporaryFile()
        self.addCleanup(big.close)
        big.truncate(anchorfs.MAX_CONTENT_SIZE + 1)
        file = anchorfs.FileIdentity(1, 2, 1, 0, 0o644)
        for call, rule in [
            (lambda: helper.ensure_dir(root, "/etc"), "absolute"),
            (lambda: helper.ensure_dir(root, "a/../b"), "a .. component"),
            (lambda: helper.ensure_dir(root, "a\u200bb"), "zero-width or direction-changing character (U+200B)"),
            (lambda: helper.ensure_dir(root, "a\u202eb"), "zero-width or direction-changing character (U+202E)"),
            (lambda: helper.ensure_dir(root, "x" * 256), "a component over 255 bytes"),
            (lambda: helper.create_file(root, "f", 0o644, big), "content over 67108864 bytes"),
            (lambda: helper.create_file(root, "f", 0o100644, b"x"), "permission bits only"),
            (lambda: helper.rename_excl(root, "a", "b", file), "the whole mode word with its file-type bits"),
        ]:
            with self.subTest(rule), self.assertRaises(anchorfs.ArgumentRefused) as caught:
                call()
            self.assertIn(rule, str(caught.exception))
            self.assertIsInstance(caught.exception, ValueError)
            self.assertFalse(os.path.exists(args))

    def test_path_like_everywhere_a_path_is_taken(self) -> None:
        need_binary(self)
        scratch = Scratch(self, ["d/"])
        root = anchorfs.anchor_root(pathlib.Path(scratch.path))
        self.assertIs(type(root.path), str)
        helper = anchorfs.Helper(pathlib.Path(BINARY))
        bookmark = helper.bookmark_parent(root, pathlib.Path("d/f"))
        self.assertEqual(anchorfs.BookmarkedParent.of(bookmark, pathlib.Path("d/f")),
                         anchorfs.BookmarkedParent.of(bookmark, "d/f"))
        helper.create_file(root, pathlib.Path("d/f"), 0o644, b"x")
        self.assertEqual(scratch.content("d/f"), b"x")


if __name__ == "__main__":
    unittest.main()
