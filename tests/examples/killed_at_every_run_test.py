#!/usr/bin/env python3
"""The example photo library killed after each of its helper runs, then settled from its journal.

Usage: killed_at_every_run_test.py HELPER EXAMPLE [ARG...]

For N = 1, 2, ... the example (EXAMPLE ARG... WRAPPER WORK_DIR) runs with a wrapper script as its helper: the
wrapper runs HELPER and, after the N-th run, kills its caller, the example, with SIGKILL before the example
sees the answer. (Killed before run N+1 leaves the same tree, since the example changes nothing between runs
but through the helper.) The example's start-up settlement (EXAMPLE ARG... --settle HELPER WORK_DIR) then
runs, and the tree must be what the runs made so far lead to: every photo in its old or its new place, whole,
under one name; every thumbnail whole; no staging or quarantine name and no record left; and one settlement
line for the record the kill left, with the outcome its operation has when settled with redo. The loop ends
when the example completes without being killed.
"""

from __future__ import annotations

import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

JOURNAL = ".anchorfs-journal"

# The example's bytes (examples/stage_swap_recover.py and .cpp): the two uploads and the edit of the first.
ORIGINAL_1 = b"\xff\xd8 IMG_0001: a harbour at dawn\n"
ORIGINAL_2 = b"\xff\xd8 IMG_0002: the same harbour, blurred\n"
EDITED = b"\xff\xd8 IMG_0001: a harbour at dawn, cropped\n"
EDIT_PATH = "incoming/IMG_0001.edit.jpg"
# The photos its staged creates make thumbnails of, in order.
THUMBNAILED = (ORIGINAL_1, ORIGINAL_2, EDITED)

# What settling (with redo) says of the record of each operation, by whether the operation had run.
OUTCOMES = {"rename-excl": ("completed (redone)", "completed (redone)"),
            "rename-swap": ("completed (redone)", "completed (redone)"),
            "unlink-checked": ("completed", "completed"),
            "create-private-file-staged": ("nothing to do", "completed")}

WRAPPER = """#!/bin/sh
read count < {counter}
count=$((count + 1))
echo "$count" > {counter}
echo "$1 $6" >> {log}
{helper} "$@"
status=$?
[ "$count" -eq {kill_at} ] && kill -KILL "$PPID"
exit "$status"
"""


def thumbnail(photo: bytes) -> bytes:
    return b"thumbnail of " + hashlib.sha256(photo).hexdigest().encode() + b"\n"


def expected_tree(runs: list[tuple[str, str]]) -> dict[str, bytes]:
    """The files below the root once the runs were made and the record left settled with redo."""
    # A record written counts as its operation done: settling with redo finishes or repeats it.
    done = [path.rpartition("/")[2].partition(".")[0] for command, path in runs
            if command == "create-private-file" and path.startswith(JOURNAL + "/")]
    imports, swaps, prunes = done.count("rename-excl"), done.count("rename-swap"), done.count("unlink-checked")
    created = {path for command, path in runs if command == "create-file"}
    tree: dict[str, bytes] = {}
    if "incoming/IMG_0001.jpg" in created and prunes < 1:
        place = EDIT_PATH if swaps else "photos/IMG_0001.jpg" if imports >= 1 else "incoming/IMG_0001.jpg"
        tree[place] = ORIGINAL_1
    if "incoming/IMG_0002.jpg" in created and prunes < 2:
        tree["photos/IMG_0002.jpg" if imports >= 2 else "incoming/IMG_0002.jpg"] = ORIGINAL_2
    if EDIT_PATH in created:
        tree["photos/IMG_0001.jpg" if swaps else EDIT_PATH] = EDITED
    # A staged create that never ran is not redone (its record holds a digest, not the bytes).
    staged = 0
    for command, path in runs:
        if command == "create-private-file-staged":
            tree[path] = thumbnail(THUMBNAILED[staged])
            staged += 1
        elif command == "remove-private-file" and path.startswith(".cache/"):
            tree.pop(path, None)
    return tree


def expected_settlements(runs: list[tuple[str, str]]) -> list[str]:
    def record_written(run: tuple[str, str]) -> str | None:
        command, path = run
        if command == "create-private-file" and path.startswith(JOURNAL + "/"):
            return path.rpartition("/")[2].partition(".")[0]
        return None

    if runs and (operation := record_written(runs[-1])):
        return [f"settled {operation}: {OUTCOMES[operation][0]}"]
    if len(runs) >= 2 and (operation := record_written(runs[-2])) and runs[-1][0] == operation:
        return [f"settled {operation}: {OUTCOMES[operation][1]}"]
    return []


def tree_of(root: str) -> tuple[dict[str, bytes], list[str]]:
    """The regular files below the root, and every other entry or name that must not be there."""
    files, wrong = {}, []
    for directory, folders, names in os.walk(root):
        for name in folders + names:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            if name.startswith((".anchorfs-staging-", ".vor-native-quarantine-")):
                wrong.append(relative)
            elif os.path.islink(path) or not (os.path.isdir(path) or os.path.isfile(path)):
                wrong.append(relative)
            elif os.path.isfile(path):
                if relative.startswith(JOURNAL + "/"):
                    wrong.append(relative)  # a record left after settling
                with open(path, "rb") as file:
                    files[relative] = file.read()
    return files, wrong


def main(argv: list[str]) -> int:
    if len(argv) < 3:
        print(f"usage: {argv[0]} HELPER EXAMPLE [ARG...]", file=sys.stderr)
        return 2
    helper, example = os.path.abspath(argv[1]), argv[2:]
    failures = 0
    kill_at = 1
    while kill_at < 200:
        work = tempfile.mkdtemp(prefix="anchorfs-killed-")
        try:
            counter, log, wrapper = (os.path.join(work, n) for n in ("count", "runs", "helper.sh"))
            with open(counter, "w") as file:
                file.write("0\n")
            with open(wrapper, "w") as file:
                file.write(WRAPPER.format(counter=shlex.quote(counter), log=shlex.quote(log),
                                          helper=shlex.quote(helper), kill_at=kill_at))
            os.chmod(wrapper, 0o700)
            killed = subprocess.run(example + [wrapper, work], capture_output=True, text=True, timeout=120)
            with open(log) as file:
                runs = [tuple(line.split(" ", 1)) for line in file.read().splitlines()]
            runs = [(r[0], r[1] if len(r) > 1 else "") for r in runs]
            if killed.returncode == 0 and len(runs) < kill_at:
                print(f"completed after {len(runs)} helper runs, killed after each of them before")
                return 1 if failures else 0
            where = f"killed after run {kill_at} ({' '.join(runs[-1]) if runs else 'none'})"
            if killed.returncode != -9:
                print(f"{where}: the example ended with {killed.returncode}:\n{killed.stdout}{killed.stderr}")
                return 1
            settled = subprocess.run(example + ["--settle", helper, work], capture_output=True,
                                     text=True, timeout=120)
            lines = [line for line in settled.stdout.splitlines() if line.startswith("settled ")]
            files, wrong = tree_of(os.path.join(work, "root"))
            problems = []
            if settled.returncode != 0 or settled.stderr:
                problems.append(f"the settlement ended with {settled.returncode}: {settled.stdout}{settled.stderr}")
            if lines != expected_settlements(runs):
                problems.append(f"settled {lines}, expected {expected_settlements(runs)}")
            if wrong:
                problems.append(f"left behind: {wrong}")
            if files != expected_tree(runs):
                problems.append(f"tree {sorted(files)}, expected {sorted(expected_tree(runs))}"
                                if sorted(files) != sorted(expected_tree(runs)) else "a file with other bytes")
            for problem in problems:
                print(f"{where}: {problem}")
            failures += len(problems)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        kill_at += 1
    print("the example never completed")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
