"""Every command through the client against the built program, in a scratch root: the call, what it
returns, and the tree afterwards. Then one case per class of failure code."""

from __future__ import annotations

import io
import os
import pathlib
import unittest
from collections.abc import Callable
from dataclasses import dataclass

import anchorfs
from support import BINARY, Scratch, need_binary

LEAF = anchorfs.new_quarantine_leaf()


def groups(h: anchorfs.Helper, s: Scratch, *paths: str) -> list[anchorfs.BookmarkedParent]:
    """The bookmarked-parent group of each path, taken before the mutation as a parent application would."""
    return [anchorfs.BookmarkedParent.of(h.bookmark_parent(s.root, p), p) for p in paths]


def swap_by_hand(s: Scratch, a: str, b: str) -> None:
    os.rename(s.at(a), s.at("swap.tmp"))
    os.rename(s.at(b), s.at(a))
    os.rename(s.at("swap.tmp"), s.at(b))


def directory_of(s: Scratch, relative: str) -> anchorfs.DirectoryIdentity:
    status = os.lstat(s.at(relative))
    return anchorfs.DirectoryIdentity(status.st_dev, status.st_ino, status.st_uid, status.st_mode)


@dataclass
class Row:
    name: str
    tree: list[str]
    run: Callable[[anchorfs.Helper, Scratch], object]  # returns what the method returned
    check: Callable[[unittest.TestCase, Scratch, object], None]


def recover_unlink(h: anchorfs.Helper, s: Scratch) -> object:
    file = s.describe("a")
    source, staging, quarantine = groups(h, s, "a", "t/a.staging", "t/" + LEAF)
    os.rename(s.at("a"), s.at("t/a.staging"))  # interrupted after the move to staging
    return h.recover_unlink(s.root, source, staging, quarantine, file)


def recover_rename(h: anchorfs.Helper, s: Scratch) -> object:
    file = s.describe("a")
    source, destination = groups(h, s, "a", "b")
    os.rename(s.at("a"), s.at("b"))
    return h.recover_rename(s.root, source, destination, file)


def recover_swap(h: anchorfs.Helper, s: Scratch) -> object:
    file1, file2 = s.describe("a"), s.describe("b")
    a, b = groups(h, s, "a", "b")
    swap_by_hand(s, "a", "b")
    return h.recover_swap(s.root, a, b, file1, file2)


def recover_link(h: anchorfs.Helper, s: Scratch) -> object:
    file = s.describe("a")
    source, destination, staging, quarantine = groups(h, s, "a", "b", "t/b.staging", "t/" + LEAF)
    os.link(s.at("a"), s.at("b"))
    return h.recover_link(s.root, source, destination, staging, quarantine, file)


def read_into(method: str) -> Callable[[anchorfs.Helper, Scratch], object]:
    def run(h: anchorfs.Helper, s: Scratch) -> object:
        sink = io.BytesIO()
        if method == "private":
            size = h.read_private_file_into(s.root, "p/f", sink, 100)
        else:
            size = h.read_external_file_into(s.root, "d/f", directory_of(s, "d"), sink, 100)
        return size, sink.getvalue()
    return run


ROWS = [
    Row("bookmark_parent", ["d/"], lambda h, s: h.bookmark_parent(s.root, "d/x"),
        lambda t, s, r: t.assertEqual((r.device, r.inode), (os.stat(s.at("d")).st_dev, os.stat(s.at("d")).st_ino))),
    Row("ensure_dir", ["d/"], lambda h, s: h.ensure_dir(s.root, "d/e"),
        lambda t, s, r: t.assertEqual(r, directory_of(s, "d/e")) or t.assertEqual(r.mode, 0o40700)),
    Row("ensure_private_dir", [], lambda h, s: h.ensure_private_dir(s.root, "p"),
        lambda t, s, r: t.assertEqual(r, directory_of(s, "p"))),
    # A create returns the new file's description, exactly what describing it afterwards gives.
    Row("create_file", [], lambda h, s: h.create_file(s.root, "f", 0o640, b"one\n"),
        lambda t, s, r: t.assertEqual((r, s.content("f"), s.mode("f")), (s.describe("f"), b"one\n", 0o100640))),
    Row("create_file from a file object", [],
        lambda h, s: h.create_file(s.root, "f", 0o644, io.BytesIO(b"0123456789" * 30000)),
        lambda t, s, r: t.assertEqual((s.content("f"), r), (b"0123456789" * 30000, s.describe("f")))),
    Row("create_private_file", ["p/"], lambda h, s: h.create_private_file(s.root, "p/f", b"secret"),
        lambda t, s, r: t.assertEqual((s.content("p/f"), s.mode("p/f"), r), (b"secret", 0o100600, s.describe("p/f")))),
    Row("create_private_file_staged", ["p/"],
        lambda h, s: h.create_private_file_staged(s.root, "p/f", "p/f.staging", b"{}\n"),
        lambda t, s, r: t.assertEqual((s.content("p/f"), s.exists("p/f.staging"), r),
                                      (b"{}\n", False, s.describe("p/f")))),
    Row("remove_private_staging_file", ["p/", "p/s=half"],
        lambda h, s: h.remove_private_staging_file(s.root, "p/s", 100),
        lambda t, s, r: t.assertFalse(s.exists("p/s"))),
    Row("read_private_file", ["p/", "p/f=secret"], lambda h, s: h.read_private_file(s.root, "p/f", 100),
        lambda t, s, r: t.assertEqual(r, b"secret")),
    Row("read_private_file_into", ["p/", "p/f=secret"], read_into("private"),
        lambda t, s, r: t.assertEqual(r, (6, b"secret"))),
    Row("read_external_file", ["d/", "d/f=hello"],
        lambda h, s: h.read_external_file(s.root, "d/f", directory_of(s, "d"), 100),
        lambda t, s, r: t.assertEqual((r, s.mode("d/f")), (b"hello", 0o100644))),
    Row("read_external_file_into", ["d/", "d/f=hello"], read_into("external"),
        lambda t, s, r: t.assertEqual(r, (5, b"hello"))),
    Row("remove_private_file", ["p/", "p/f=gone"],
        lambda h, s: h.remove_private_file(s.root, "p/f", 4, s.describe("p/f").sha256),
        lambda t, s, r: t.assertFalse(s.exists("p/f"))),
    Row("remove_private_file by the description a create returned", ["p/"],
        lambda h, s: h.remove_private_file(s.root, pathlib.Path("p/f"), h.create_private_file(s.root, "p/f", b"x")),
        lambda t, s, r: t.assertFalse(s.exists("p/f"))),
    Row("quarantine_private_tree", ["p/", "p/t/", "p/t/f=x"],
        lambda h, s: h.quarantine_private_tree(s.root, "p/t", "p/q"),
        lambda t, s, r: t.assertEqual((s.exists("p/t"), s.content("p/q/f")), (False, b"x"))),
    Row("remove_private_tree", ["p/", "p/t/", "p/t/u/", "p/t/u/f=x"],
        lambda h, s: h.remove_private_tree(s.root, "p/t", 16, 4),
        lambda t, s, r: t.assertEqual((s.exists("p/t"), s.exists("p")), (False, True))),
    Row("rename_excl", ["a=1"], lambda h, s: h.rename_excl(s.root, "a", "b", s.identity("a")),
        lambda t, s, r: t.assertEqual((s.exists("a"), s.content("b")), (False, b"1"))),
    Row("rename_swap", ["a=1", "b=2"],
        lambda h, s: h.rename_swap(s.root, "a", "b", s.identity("a"), s.identity("b")),
        lambda t, s, r: t.assertEqual((s.content("a"), s.content("b")), (b"2", b"1"))),
    Row("link_excl", ["a=1", "t/"],
        lambda h, s: h.link_excl(s.root, "a", "b", "t/b.staging", "t/" + LEAF, s.describe("a")),
        lambda t, s, r: t.assertEqual((os.stat(s.at("b")).st_ino, os.stat(s.at("a")).st_nlink),
                                      (os.stat(s.at("a")).st_ino, 2))),
    Row("unlink_checked", ["a=1", "t/"],
        lambda h, s: h.unlink_checked(s.root, "a", "t/a.staging", "t/" + LEAF, s.describe("a")),
        lambda t, s, r: t.assertEqual((s.exists("a"), os.listdir(s.at("t"))), (False, []))),
    Row("recover_unlink", ["a=1", "t/"], recover_unlink,
        lambda t, s, r: t.assertEqual((s.exists("a"), os.listdir(s.at("t"))), (False, []))),
    Row("recover_rename", ["a=1"], recover_rename,
        lambda t, s, r: t.assertEqual((s.content("a"), s.exists("b")), (b"1", False))),
    Row("recover_swap", ["a=1", "b=2"], recover_swap,
        lambda t, s, r: t.assertEqual((s.content("a"), s.content("b")), (b"1", b"2"))),
    Row("recover_link", ["a=1", "t/"], recover_link,
        lambda t, s, r: t.assertEqual((s.exists("b"), os.stat(s.at("a")).st_nlink, os.listdir(s.at("t"))),
                                      (False, 1, []))),
]


class Commands(unittest.TestCase):
    def setUp(self) -> None:
        need_binary(self)
        self.helper = anchorfs.Helper(BINARY, timeout=30)

    def test_every_command_succeeds_and_leaves_its_tree(self) -> None:
        covered = {row.name.split(" ")[0].removesuffix("_into") for row in ROWS}
        self.assertEqual(len(covered), 20)
        for row in ROWS:
            with self.subTest(row.name):
                scratch = Scratch(self, row.tree)
                row.check(self, scratch, row.run(self.helper, scratch))


# One case per class of failure the real program reports: the exception class, code and errno.
FAILURES = [
    ("root of another identity", ["d/"], anchorfs.RootIdentityChanged,
     "ROOT_IDENTITY_CHANGED", 116,
     lambda h, s: h.ensure_dir(anchorfs.RootAnchor(s.path, s.root.device, s.root.inode + 1, s.root.uid), "d/e")),
    ("file of another identity", ["a=1"], anchorfs.IdentityChanged, "IDENTITY_CHANGED", 116,
     lambda h, s: h.rename_excl(s.root, "a", "b", anchorfs.FileIdentity(0, 0, 1, 0, 0o100644))),
    ("name taken", ["a=1"], anchorfs.Failure, "EEXIST", 17,
     lambda h, s: h.create_file(s.root, "a", 0o644, b"x")),
    ("name missing", ["p/"], anchorfs.Failure, "ENOENT", 2,
     lambda h, s: h.read_private_file(s.root, "p/f")),
    ("budget out of its range", ["p/", "p/t/"], anchorfs.Failure, "EINVAL", 22,
     lambda h, s: h.remove_private_tree(s.root, "p/t", 0)),
]


class Failures(unittest.TestCase):
    def test_each_code_class_raises_its_exception(self) -> None:
        need_binary(self)
        helper = anchorfs.Helper(BINARY, timeout=30)
        for name, tree, kind, code, number, run in FAILURES:
            with self.subTest(name):
                scratch = Scratch(self, tree)
                with self.assertRaises(anchorfs.Failure) as caught:
                    run(helper, scratch)
                self.assertIs(type(caught.exception), kind)
                self.assertEqual((caught.exception.code, caught.exception.errno), (code, number))
                self.assertIsInstance(caught.exception.code, anchorfs.Code)

    def test_message_names_command_paths_and_remedy(self) -> None:
        need_binary(self)
        scratch = Scratch(self, ["photos/", "photos/a.jpg=1", "photos/b.jpg=2"])
        with self.assertRaises(anchorfs.Failure) as caught:
            anchorfs.Helper(BINARY).rename_excl(scratch.root, "photos/a.jpg", "photos/b.jpg",
                                                scratch.identity("photos/a.jpg"))
        self.assertEqual(str(caught.exception),
                         "rename-excl photos/a.jpg -> photos/b.jpg: EEXIST (errno 17): the destination is taken")


if __name__ == "__main__":
    unittest.main()
