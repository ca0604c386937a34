"""Filling requests in: root anchors, identities, descriptions and quarantine leaves."""

from __future__ import annotations

import errno
import hashlib
import os
import re
import unittest

import anchorfs
from support import Scratch


class Files(unittest.TestCase):
    def test_description_matches_the_file(self) -> None:
        s = Scratch(self, ["a=hello"])
        status = os.lstat(s.at("a"))
        self.assertEqual(s.describe("a"), anchorfs.FileDescription(
            anchorfs.FileIdentity(status.st_dev, status.st_ino, 1, status.st_uid, 0o100644), 5,
            status.st_mtime_ns, hashlib.sha256(b"hello").hexdigest()))
        self.assertEqual(s.identity("a"), s.describe("a").identity)
        self.assertEqual(anchorfs.anchor_root(s.path),
                         anchorfs.RootAnchor(s.path, os.stat(s.path).st_dev, os.stat(s.path).st_ino, os.getuid()))

    def test_refusals_carry_their_errno(self) -> None:
        s = Scratch(self, ["d/", "a=x"])
        os.symlink("d", s.at("link"))
        big = s.at("big")
        with open(big, "wb") as file:
            file.truncate(anchorfs.MAX_CONTENT_SIZE + 1)
        for name, call, number in [
            ("root through a symbolic link", lambda: anchorfs.anchor_root(s.at("link")), errno.ELOOP),
            ("root is a file", lambda: anchorfs.anchor_root(s.at("a")), errno.ENOTDIR),
            ("describe a directory", lambda: s.describe("d"), errno.EINVAL),
            ("describe a symbolic link", lambda: s.describe("link"), errno.ELOOP),
            ("describe above 64 MiB", lambda: s.describe("big"), errno.EFBIG),
            ("identity of a directory", lambda: s.identity("d"), errno.EINVAL),
        ]:
            with self.subTest(name), self.assertRaises(OSError) as caught:
                call()
            self.assertEqual(caught.exception.errno, number)

    def test_quarantine_leaves_are_fresh_and_well_formed(self) -> None:
        leaves = {anchorfs.new_quarantine_leaf() for _ in range(4)}
        self.assertEqual(len(leaves), 4)
        for leaf in leaves:
            self.assertRegex(leaf, re.compile(r"\.vor-native-quarantine-[0-9a-f]{32}"))
            self.assertEqual(len(leaf), 55)

    def test_bookmarked_parent_splits_the_path(self) -> None:
        bookmark = anchorfs.Bookmark("ab", 1, 2, 3)
        self.assertEqual(anchorfs.BookmarkedParent.of(bookmark, "a/b/c"),
                         anchorfs.BookmarkedParent("ab", 1, 2, 3, "a/b", "c"))
        self.assertEqual(anchorfs.BookmarkedParent.of(bookmark, "c"),
                         anchorfs.BookmarkedParent("ab", 1, 2, 3, ".", "c"))


if __name__ == "__main__":
    unittest.main()
