"""The Python client's side of the cross-client record tests of the C++ and Node clients: writes (and runs)
a record of one row of their table, or settles the journal and prints each outcome.

Usage: journal_other_client.py PACKAGE_DIR BINARY ROOT settle
       journal_other_client.py PACKAGE_DIR BINARY ROOT write|write-and-run PREPARE [CONTENT]
PREPARE is a Python expression over h (the Helper), root (the anchor), j (anchorfs.journal) and at(relative)
(the description of a file below the root); CONTENT one giving the bytes of a staged create."""

import os
import sys

sys.path.insert(0, sys.argv[1])
import anchorfs  # noqa: E402
from anchorfs import journal as j  # noqa: E402

binary, root_path, action = sys.argv[2:5]
h = anchorfs.Helper(binary)
root = anchorfs.anchor_root(root_path)
at = lambda relative: anchorfs.describe_file(os.path.join(root_path, relative))  # noqa: E731
journal = j.Journal(h, root)
if action == "settle":
    for s in j.settle_all(journal):
        print(s.outcome)
else:
    record = eval(sys.argv[5])
    journal.write(record)
    if action == "write-and-run":
        j.run_record(h, record, eval(sys.argv[6]) if len(sys.argv) > 6 else None)
    sys.stdout.write(j.encode_record(record).decode())
