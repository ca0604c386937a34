#!/usr/bin/env python3
"""A small photo library on the anchorfs Python client. Every step that moves or deletes a file goes through
the client's journal, so that a crash at any point is settled the next time the library starts:

  - photos arrive in incoming/ and are imported into photos/ by an exclusive rename, which never replaces a
    photo already there;
  - a thumbnail of each is kept in the private cache .cache/, written through a staging name so that the
    cache never shows half a thumbnail;
  - an edited version replaces a photo by an atomic swap, and the old version is pruned with unlink-checked,
    which deletes it only while it is unchanged; so is a photo the user deletes;
  - at start-up every record a crash left in the journal is settled, and an import or swap that was undone
    is run again (settle_all with redo).

Usage: stage_swap_recover.py [--settle] [HELPER [WORK_DIR]]
Without HELPER the program installed beside the package (or on PATH) is used; without WORK_DIR the library
is made in a fresh directory below /tmp and removed afterwards. With --settle only the start-up settlement
of the library in WORK_DIR/root is run (after a crash), printing one line per record settled.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

import anchorfs
from anchorfs import FileDescription, Journal, Outcome, settle_all
from anchorfs.journal import (prepare_create_private_file_staged, prepare_rename_excl, prepare_rename_swap,
                              prepare_unlink_checked)

INCOMING, PHOTOS, CACHE = "incoming", "photos", ".cache"

# What the camera uploads, and the edit of the first photo. The C++ twin uses the same bytes, and the test
# that kills these programs at every helper run knows them.
CAMERA = {"IMG_0001.jpg": b"\xff\xd8 IMG_0001: a harbour at dawn\n",
          "IMG_0002.jpg": b"\xff\xd8 IMG_0002: the same harbour, blurred\n"}
EDITED = b"\xff\xd8 IMG_0001: a harbour at dawn, cropped\n"


def thumbnail(photo: FileDescription) -> bytes:
    # A thumbnail names the digest of its photo, which the create that wrote the photo reported: nothing is
    # hashed twice.
    return b"thumbnail of " + photo.sha256.encode() + b"\n"


def report(what: str) -> None:
    print(f"{what:<44} ok")


class Library:
    def __init__(self, helper: anchorfs.Helper, root: anchorfs.RootAnchor) -> None:
        self.helper = helper
        self.root = root
        self.journal = Journal(helper, root)

    def settle(self) -> bool:
        """Start-up: settles what a crash left in the journal; False when a record needs attention (it stays,
        and nothing more is done until someone has looked at it)."""
        settled = True
        for s in settle_all(self.journal, redo=True):
            operation = s.record.operation if s.record is not None else "unreadable record"
            print(f"settled {operation}: {s.outcome}{' (redone)' if s.redone else ''}")
            if s.outcome is Outcome.NEEDS_ATTENTION:
                print(f"  {s.path}: {s.problem}")
                settled = False
        return settled

    def make_folders(self) -> None:
        self.helper.ensure_dir(self.root, INCOMING)
        self.helper.ensure_dir(self.root, PHOTOS)
        self.helper.ensure_private_dir(self.root, CACHE)

    def import_photo(self, name: str, arrived: FileDescription) -> None:
        record = prepare_rename_excl(self.helper, self.root, f"{INCOMING}/{name}", f"{PHOTOS}/{name}", arrived)
        self.journal.run(record)

    def cache_thumbnail(self, name: str, photo: FileDescription) -> FileDescription:
        data = thumbnail(photo)
        made = self.journal.run(prepare_create_private_file_staged(self.root, f"{CACHE}/{name}.thumb", data), data)
        assert made is not None
        return made

    def drop_thumbnail(self, name: str, cached: FileDescription) -> None:
        # Deleted only while it holds the bytes this library wrote: a missing one is fine too.
        self.helper.remove_private_file(self.root, f"{CACHE}/{name}.thumb", cached)

    def replace(self, name: str, edit_path: str, edit: FileDescription, current: FileDescription) -> None:
        """Swaps the edit in under the photo's name, then prunes the old version, now under the edit's."""
        self.journal.run(prepare_rename_swap(self.helper, self.root, edit_path, f"{PHOTOS}/{name}", edit,
                                             current))
        self.prune(edit_path, current)

    def prune(self, path: str, expected: FileDescription) -> None:
        # unlink-checked deletes the file only while it has the described identity and content; a photo
        # changed since is refused (IdentityChanged) and kept.
        self.journal.run(prepare_unlink_checked(self.helper, self.root, path, expected))


def run_example(helper: anchorfs.Helper, work: str) -> int:
    root_path = os.path.join(work, "root")
    if not os.path.isdir(root_path):
        os.mkdir(root_path, 0o755)
    library = Library(helper, anchorfs.anchor_root(root_path))
    if not library.settle():
        return 1
    report("journal settled")
    library.make_folders()
    report("ensure-dir incoming, photos, .cache")

    # The camera's upload (made here by the example itself): each create returns the new file's description.
    arrived = {name: helper.create_file(library.root, f"{INCOMING}/{name}", 0o644, data)
               for name, data in CAMERA.items()}
    report("create-file incoming/ (2 photos)")
    thumbnails = {}
    for name, file in arrived.items():
        library.import_photo(name, file)
        report(f"rename-excl -> photos/{name}")
        thumbnails[name] = library.cache_thumbnail(name, file)
        report(f"create-private-file-staged .cache/{name}.thumb")

    # An edited IMG_0001 replaces the library's copy; the old version and its thumbnail go.
    name, edit_path = "IMG_0001.jpg", f"{INCOMING}/IMG_0001.edit.jpg"
    edit = helper.create_file(library.root, edit_path, 0o644, EDITED)
    library.replace(name, edit_path, edit, arrived[name])
    report("rename-swap, unlink-checked the old")
    library.drop_thumbnail(name, thumbnails[name])
    thumbnails[name] = library.cache_thumbnail(name, edit)
    report("thumbnail replaced")

    # The user deletes IMG_0002 from the library.
    library.prune(f"{PHOTOS}/IMG_0002.jpg", arrived["IMG_0002.jpg"])
    library.drop_thumbnail("IMG_0002.jpg", thumbnails["IMG_0002.jpg"])
    report("unlink-checked photos/IMG_0002.jpg")

    if helper.read_private_file(library.root, f"{CACHE}/{name}.thumb", 4096) != thumbnail(edit):
        print("the cache holds another thumbnail")
        return 1
    with open(os.path.join(root_path, PHOTOS, name), "rb") as photo:
        if photo.read() != EDITED:
            print("photos/IMG_0001.jpg is not the edit")
            return 1
    left = sorted(os.listdir(os.path.join(root_path, INCOMING)) + os.listdir(os.path.join(root_path, PHOTOS)))
    if left != [name]:
        print(f"the library holds {left}")
        return 1
    if os.listdir(os.path.join(root_path, anchorfs.journal.JOURNAL_DIRECTORY)):
        print("records are left in the journal")
        return 1
    print("done: photos/ holds the edited IMG_0001, IMG_0002 is deleted, the journal is empty")
    return 0


def main(argv: list[str]) -> int:
    settle_only = len(argv) > 1 and argv[1] == "--settle"
    args = argv[2:] if settle_only else argv[1:]
    if len(args) > 2 or (settle_only and len(args) != 2):
        print(f"usage: {argv[0]} [--settle] [HELPER [WORK_DIR]]", file=sys.stderr)
        return 2
    helper = anchorfs.Helper(args[0] if args else None, timeout=60)
    work = args[1] if len(args) > 1 else tempfile.mkdtemp(prefix="anchorfs-example-")
    try:
        if settle_only:
            library = Library(helper, anchorfs.anchor_root(os.path.join(work, "root")))
            return 0 if library.settle() else 1
        return run_example(helper, work)
    except anchorfs.Error as error:
        print(f"failed: {error}")
        return 1
    finally:
        if len(args) < 2:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
