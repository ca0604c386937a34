"""Operation records, journals and settlement, driven by one table of operations: each row prepares a record
in a scratch root, says what the tree looks like before and after the operation, and which crash states it
can be left in. Every row runs through the JSON form, the journal, and a settle after each crash state."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import unittest
from collections.abc import Callable
from dataclasses import dataclass

import anchorfs
from anchorfs import journal as j
from support import BINARY, Scratch, need_binary

O = j.Outcome
SCHEMA = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "operation-record.schema.json")


@dataclass
class Row:
    name: str
    tree: list[str]
    prepare: Callable[[anchorfs.Helper, Scratch], j.Record]
    before: Callable[[Scratch], bool]  # the tree as before the operation
    after: Callable[[Scratch], bool]   # the operation's effect in place
    # Crash states reached by hand (a step of the operation done as an interrupted run leaves it), with
    # the outcome settling must report.
    midway: dict[str, tuple[Callable[[Scratch, j.Record], None], O]]
    not_run: O = O.NOTHING_TO_DO       # settle of a record whose operation never ran
    ran: O = O.UNDONE                  # settle of a record whose operation completed
    redoable: bool = True
    content: bytes | None = None


def holds(state: Callable[[Scratch], bool], s: Scratch) -> bool:
    try:
        return state(s)
    except OSError:
        return False


def path(record: j.Record, role: str) -> str:
    return record.names[role].path


def link_at_staging(s: Scratch, r: j.Record) -> None:
    os.link(s.at("a"), s.at(path(r, "staging")))


def unlink_step(role: str) -> Callable[[Scratch, j.Record], None]:
    return lambda s, r: os.rename(s.at("a"), s.at(path(r, role)))


def torn_staging(s: Scratch, r: j.Record) -> None:
    with open(s.at(path(r, "staging")), "wb") as file:
        file.write(b"half")
    os.chmod(s.at(path(r, "staging")), 0o600)


def staging_gone(s: Scratch) -> bool:
    return not any(name.startswith(j.STAGING_PREFIX) for name in os.listdir(s.at("p")))


ROWS = [
    Row("rename-excl", ["a=A"],
        lambda h, s: j.prepare_rename_excl(h, s.root, "a", "d/b", s.describe("a")),
        lambda s: s.content("a") == b"A" and not s.exists("d/b"),
        lambda s: s.content("d/b") == b"A" and not s.exists("a"), {}),
    Row("rename-swap", ["a=A", "d/b=B"],
        lambda h, s: j.prepare_rename_swap(h, s.root, "a", "d/b", s.describe("a"), s.describe("d/b")),
        lambda s: s.content("a") == b"A" and s.content("d/b") == b"B",
        lambda s: s.content("a") == b"B" and s.content("d/b") == b"A", {}),
    Row("link-excl", ["a=A"],
        lambda h, s: j.prepare_link_excl(h, s.root, "a", "d/b", s.describe("a")),
        lambda s: os.lstat(s.at("a")).st_nlink == 1 and not s.exists("d/b") and len(os.listdir(s.at("d"))) == 0,
        lambda s: os.path.samefile(s.at("a"), s.at("d/b")),
        {"link under its staging name": (link_at_staging, O.UNDONE)}),
    Row("unlink-checked", ["a=A"],
        lambda h, s: j.prepare_unlink_checked(h, s.root, "a", s.describe("a"), scratch="d"),
        lambda s: s.content("a") == b"A",
        lambda s: not s.exists("a") and os.listdir(s.at("d")) == [],
        {"file under its staging name": (unlink_step("staging"), O.COMPLETED),
         "file under its quarantine name": (unlink_step("quarantine"), O.COMPLETED)},
        not_run=O.COMPLETED, ran=O.COMPLETED, redoable=False),
    Row("create-private-file-staged", [],
        lambda h, s: j.prepare_create_private_file_staged(s.root, "p/settings", b"theme=dark\n"),
        lambda s: not s.exists("p/settings") and staging_gone(s),
        lambda s: s.content("p/settings") == b"theme=dark\n" and staging_gone(s),
        {"half a file under its staging name": (torn_staging, O.UNDONE)},
        ran=O.COMPLETED, redoable=False, content=b"theme=dark\n"),
]
BASE_TREE = ["d/", "p/"]


class Journalled(unittest.TestCase):
    def setUp(self) -> None:
        need_binary(self)
        self.helper = anchorfs.Helper(BINARY)

    def scratch(self, row: Row) -> tuple[Scratch, j.Record, j.Journal]:
        s = Scratch(self, BASE_TREE + row.tree)
        return s, row.prepare(self.helper, s), j.Journal(self.helper, s.root)

    def journal_names(self, s: Scratch) -> list[str]:
        return os.listdir(s.at(j.JOURNAL_DIRECTORY))

    def test_records_round_trip_through_the_published_form(self) -> None:
        try:
            import jsonschema
        except ImportError:
            jsonschema = None
        with open(SCHEMA) as file:
            schema = json.load(file)
        for row in ROWS:
            with self.subTest(row.name):
                s, record, _ = self.scratch(row)
                data = j.encode_record(record)
                self.assertEqual(j.decode_record(data), record)
                self.assertTrue(data.endswith(b"}\n") and data.count(b"\n") == 1)
                value = json.loads(data)
                self.assertEqual((value["version"], value["operation"]), (1, row.name))
                if jsonschema is not None:
                    jsonschema.validate(value, schema)

    def test_a_journalled_run_leaves_the_effect_and_an_empty_journal(self) -> None:
        for row in ROWS:
            with self.subTest(row.name):
                s, record, journal = self.scratch(row)
                journal.run(record, row.content)
                self.assertTrue(row.after(s))
                self.assertEqual(self.journal_names(s), [])
                mode = os.lstat(s.at(j.JOURNAL_DIRECTORY)).st_mode
                self.assertEqual(mode & 0o7777, 0o700)

    def test_settle_after_a_crash_at_each_step_says_what_it_did(self) -> None:
        for row in ROWS:
            states: dict[str, tuple[Callable[[Scratch, j.Record], None], O]] = {
                "record written, operation not run": (lambda s, r: None, row.not_run),
                "operation ran, record not removed": (
                    lambda s, r: j.run_record(self.helper, r, row.content), row.ran),
                **row.midway,
            }
            for state, (crash, outcome) in states.items():
                with self.subTest(row.name, state=state):
                    s, record, journal = self.scratch(row)
                    journal.write(record)
                    crash(s, record)
                    [settled] = j.settle_all(journal)
                    self.assertEqual(settled.outcome, outcome, settled.problem)
                    self.assertTrue(holds(row.after if outcome is O.COMPLETED else row.before, s))
                    self.assertEqual(self.journal_names(s), [])
                    self.assertEqual(j.settle(self.helper, record).outcome,
                                     O.COMPLETED if outcome is O.COMPLETED else O.NOTHING_TO_DO)

    def test_settle_with_redo_runs_an_undone_operation_again(self) -> None:
        for row in (r for r in ROWS if r.redoable):
            with self.subTest(row.name):
                s, record, journal = self.scratch(row)
                journal.write(record)
                j.run_record(self.helper, record)
                [settled] = j.settle_all(journal, redo=True)
                self.assertEqual((settled.outcome, settled.redone), (O.COMPLETED, True))
                self.assertTrue(row.after(s))
                self.assertEqual(self.journal_names(s), [])

    def test_a_record_the_tree_contradicts_needs_attention_and_stays(self) -> None:
        for row in ROWS:
            with self.subTest(row.name):
                s, record, journal = self.scratch(row)
                entry = journal.write(record)
                for role in ("b", "source", "final"):
                    if role in record.names:
                        target = s.at(path(record, role))
                        if os.path.lexists(target):
                            os.unlink(target)
                        with open(target, "wb") as file:
                            file.write(b"someone else's")
                        os.chmod(target, 0o600)
                        break
                [settled] = j.settle_all(journal)
                self.assertEqual(settled.outcome, O.NEEDS_ATTENTION)
                self.assertTrue(settled.problem)
                self.assertEqual(self.journal_names(s), [entry.path.rpartition("/")[2]])

    def test_a_failure_that_left_the_tree_as_before_removes_its_record(self) -> None:
        s, record, journal = self.scratch(ROWS[0])
        os.symlink("a", s.at("d/b"))  # the destination is taken
        with self.assertRaises(anchorfs.Error) as raised:
            journal.run(record)
        self.assertEqual(raised.exception.code, "EEXIST")
        self.assertEqual(self.journal_names(s), [])
        s, record, journal = self.scratch(ROWS[4])
        with self.assertRaises(ValueError):
            journal.run(record, b"other content")  # refused before a record is written
        self.assertEqual(self.journal_names(s), [])
        # A staged create whose final name is another file's: the failure is the outcome, nothing is left.
        with open(s.at("p/settings"), "wb") as file:
            file.write(b"theme=light\n")
        os.chmod(s.at("p/settings"), 0o600)
        with self.assertRaises(anchorfs.Error) as raised:
            journal.run(record, b"theme=dark\n")
        self.assertEqual(raised.exception.code, "EEXIST")
        self.assertEqual(self.journal_names(s), [])
        self.assertEqual((s.content("p/settings"), staging_gone(s)), (b"theme=light\n", True))

    def test_a_torn_or_foreign_record_is_reported_and_never_acted_on(self) -> None:
        mutations: dict[str, Callable[[bytes], bytes]] = {
            "cut short": lambda d: d[: len(d) // 2],
            "empty": lambda d: b"",
            "number as a JSON number": lambda d: d.replace(b'"size":"1"', b'"size":1', 1),
            "unknown key": lambda d: d.replace(b'{"version":1,', b'{"version":1,"extra":"1",', 1),
            "another version": lambda d: d.replace(b'"version":1', b'"version":2', 1),
            "number beyond 64 bits": lambda d: d.replace(b'"link_count":"1"', b'"link_count":"18446744073709551616"', 1),
            "leading zero": lambda d: d.replace(b'"link_count":"1"', b'"link_count":"01"', 1),
            "not UTF-8": lambda d: d[:-3] + b"\xff}\n",
        }
        for label, mutate in mutations.items():
            with self.subTest(label):
                s, record, journal = self.scratch(ROWS[3])  # an unlink: settling it would delete the file
                good = j.encode_record(record)
                broken = mutate(good)
                self.assertNotEqual(broken, good)
                name = f"{j.JOURNAL_DIRECTORY}/unlink-checked.{'0' * 32}.json"
                with open(s.at(name), "wb") as file:
                    file.write(broken)
                os.chmod(s.at(name), 0o600)
                [settled] = j.settle_all(journal)
                self.assertEqual(settled.outcome, O.NEEDS_ATTENTION)
                self.assertIsNone(settled.record)
                self.assertIn("record", settled.problem)
                self.assertEqual(s.content("a"), b"A")
                [entry] = journal.entries()
                journal.discard(entry)
                self.assertEqual(self.journal_names(s), [])


# A program that runs one row's operation through a journal; the tests kill it at each of its helper runs.
CHILD = r"""
import sys
import anchorfs
from anchorfs import journal as j
binary, root_path, payload = sys.argv[1:4]
record = j.decode_record(open(payload, "rb").read())
content = open(payload + ".content", "rb").read() if record.content else None
helper = anchorfs.Helper(binary)
j.Journal(helper, record.root).run(record, content)
"""


class KilledAtEachHelperRun(unittest.TestCase):
    """The parent application killed (SIGKILL) as each helper run of a journalled operation starts, or as
    it ends: settling from the journal then leaves the tree before or after the operation, never between."""

    def setUp(self) -> None:
        need_binary(self)
        self.helper = anchorfs.Helper(BINARY)

    def wrapper(self, directory: str, kill_at: int, after: bool) -> str:
        script = os.path.join(directory, "anchorfs-killing")
        with open(script, "w") as file:
            file.write(f"""#!/bin/sh
n=$(($(/bin/cat {directory}/count 2>/dev/null || echo 0) + 1))
echo $n > {directory}/count
if [ $n -eq {kill_at} ] && [ {int(after)} -eq 0 ]; then kill -9 $PPID; exit 1; fi
if [ $n -eq {kill_at} ]; then {BINARY} "$@"; s=$?; kill -9 $PPID; exit $s; fi
exec {BINARY} "$@"
""")
        os.chmod(script, 0o700)
        return script

    def test_every_row_killed_at_every_helper_run_settles_before_or_after(self) -> None:
        for row in ROWS:
            for kill_at in range(1, 5):  # ensure-private-dir, create-private-file, the operation, the removal
                for after in (False, True):
                    with self.subTest(row.name, kill_at=kill_at, after=after):
                        s = Scratch(self, BASE_TREE + row.tree)
                        record = row.prepare(self.helper, s)
                        work = tempfile.mkdtemp(dir=s.base)
                        payload = os.path.join(work, "record")
                        with open(payload, "wb") as file:
                            file.write(j.encode_record(record))
                        with open(payload + ".content", "wb") as file:
                            file.write(row.content or b"")
                        child = subprocess.run([sys.executable, "-c", CHILD, self.wrapper(work, kill_at, after),
                                                s.path, payload], env=dict(os.environ), capture_output=True)
                        self.assertEqual(child.returncode, -9, child.stderr)
                        if not os.path.isdir(s.at(j.JOURNAL_DIRECTORY)):
                            self.assertTrue(row.before(s))
                            continue
                        journal = j.Journal(self.helper, s.root)
                        for settled in j.settle_all(journal):
                            self.assertNotEqual(settled.outcome, O.NEEDS_ATTENTION, settled.problem)
                        self.assertEqual(os.listdir(s.at(j.JOURNAL_DIRECTORY)), [])
                        self.assertTrue(holds(row.before, s) or holds(row.after, s))


if __name__ == "__main__":
    unittest.main()
