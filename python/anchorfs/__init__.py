"""Python client of anchorfs: one anchored filesystem operation per run of the helper program.

    import anchorfs
    helper = anchorfs.Helper()
    root = anchorfs.anchor_root("/srv/media")
    helper.ensure_dir(root, "photos")
    helper.create_file(root, "photos/a.txt", 0o644, b"hello\\n")

Standard library only. Everything a call raises is an anchorfs.Error: a failure line raises anchorfs.Failure
(``code`` an anchorfs.Code), no answer (the program could not be run, broke the protocol, or was stopped by a
time limit or cancel) raises anchorfs.HelperError, and an argument the helper would refuse raises
anchorfs.ArgumentRefused before any process starts.
"""

from .cancel import Cancel
from .errors import (ArgumentRefused, Code, Error, Failure, HelperCancelled, HelperError, HelperTimeout,
                     IdentityChanged, ProtocolError, RacePreserved, RaceRolledBack, ResultNotDelivered,
                     RootIdentityChanged)
from .files import anchor_root, describe_fd, describe_file, identity, new_quarantine_leaf
from .helper import HELPER_DEFAULT, Helper
from .process import GRACE_PERIOD
from .records import (MAX_CONTENT_SIZE, Bookmark, BookmarkedParent, DirectoryIdentity, FileDescription,
                      FileIdentity, RootAnchor)

__all__ = [
    "GRACE_PERIOD", "HELPER_DEFAULT", "MAX_CONTENT_SIZE", "ArgumentRefused", "Bookmark", "BookmarkedParent",
    "Cancel", "Code", "DirectoryIdentity", "Error", "Failure", "FileDescription",
    "FileIdentity", "Helper", "HelperCancelled", "HelperError", "HelperTimeout", "IdentityChanged", "ProtocolError",
    "RacePreserved", "RaceRolledBack", "ResultNotDelivered", "RootAnchor", "RootIdentityChanged",
    "anchor_root", "describe_fd", "describe_file", "identity", "new_quarantine_leaf",
]

# Operation records, journals and settling them after a crash (anchorfs.journal).
from .journal import Journal, Outcome, Record, Settlement, settle, settle_all  # noqa: E402

__all__ += ["Journal", "Outcome", "Record", "Settlement", "settle", "settle_all"]
