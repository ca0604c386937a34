#!/usr/bin/env python3
"""A small parent application on the anchorfs Python client:

  1. keeps its settings in a private store, written with create-private-file-staged so that the final name
     never holds half a file;
  2. replaces a document by a new version with rename-swap;
  3. deletes the old version with the steps of unlink-checked and, when that is interrupted after its first
     step (here: done by hand, as a crash would leave it), settles it with recover-unlink from bookmarks
     taken before the mutation.

Usage: stage_swap_recover.py [HELPER [WORK_DIR]]
Without HELPER the program installed beside the package (or on PATH) is used; without WORK_DIR it works in a
fresh directory below /tmp and removes it.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile

import anchorfs


def report(what: str) -> None:
    print(f"{what:<28} ok")


def run_example(helper: anchorfs.Helper, work: str) -> None:
    root_path = os.path.join(work, "root")
    os.mkdir(root_path, 0o755)
    root = anchorfs.anchor_root(root_path)

    # 1. Settings in the private store, staged.
    helper.ensure_private_dir(root, "store")
    report("ensure-private-dir store")
    settings = b'{"theme":"dark"}\n'
    helper.create_private_file_staged(root, "store/settings.json", "store/.settings.json.staging", settings)
    report("create-private-file-staged")
    if helper.read_private_file(root, "store/settings.json", 4096) != settings:
        raise SystemExit("read-private-file returned other content")
    report("read-private-file")

    # 2. A document replaced by its new version in one atomic swap.
    helper.ensure_dir(root, "documents")
    helper.create_file(root, "documents/report.txt", 0o644, b"draft 1\n")
    helper.create_file(root, "documents/report.txt.new", 0o644, b"draft 2\n")
    report("create-file report.txt(.new)")
    old_version = anchorfs.describe_file(os.path.join(root_path, "documents/report.txt"))
    new_version = anchorfs.describe_file(os.path.join(root_path, "documents/report.txt.new"))
    helper.rename_swap(root, "documents/report.txt.new", "documents/report.txt", new_version.identity,
                       old_version.identity)
    report("rename-swap")

    # 3. The old version, now under report.txt.new, is deleted through a staging name and a durable
    # quarantine name. Before anything is moved, the application bookmarks every directory involved and
    # keeps the bookmarks with its record of the operation.
    helper.ensure_dir(root, "documents/.trash")
    source = "documents/report.txt.new"
    staging = "documents/.trash/report.txt.staging"
    quarantine = "documents/.trash/" + anchorfs.new_quarantine_leaf()
    record = {"file": old_version}
    for name, path in (("source", source), ("staging", staging), ("quarantine", quarantine)):
        record[name] = anchorfs.BookmarkedParent.of(helper.bookmark_parent(root, path), path)
    report("bookmark-parent (3 names)")

    # The run that would have done this is interrupted right after its first step, the exclusive move to
    # the staging name. Here the move is made by hand, leaving the tree exactly as such a crash leaves it.
    os.rename(os.path.join(root_path, source), os.path.join(root_path, staging))
    print(f"{'unlink-checked':<28} (simulated crash after the move to staging)")

    # After the restart: settle it. A second run finds nothing left to do.
    helper.recover_unlink(root, record["source"], record["staging"], record["quarantine"], record["file"])
    report("recover-unlink")
    helper.recover_unlink(root, record["source"], record["staging"], record["quarantine"], record["file"])
    report("recover-unlink (again)")

    for gone in (source, staging, quarantine):
        if os.path.lexists(os.path.join(root_path, gone)):
            raise SystemExit(f"still present: {gone}")
    current = anchorfs.describe_file(os.path.join(root_path, "documents/report.txt"))
    if current.sha256 != new_version.sha256:
        raise SystemExit("report.txt does not hold draft 2")
    print("done: report.txt holds draft 2, draft 1 is deleted, settings are private")


def main(argv: list[str]) -> int:
    if len(argv) > 3:
        print(f"usage: {argv[0]} [HELPER [WORK_DIR]]", file=sys.stderr)
        return 2
    helper = anchorfs.Helper(argv[1] if len(argv) > 1 else None, timeout=60)
    work = argv[2] if len(argv) > 2 else tempfile.mkdtemp(prefix="anchorfs-example-")
    try:
        run_example(helper, work)
    except anchorfs.Error as error:
        print(f"failed: {error}")
        return 1
    finally:
        if len(argv) <= 2:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
