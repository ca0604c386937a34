"""Python client of anchorfs: one anchored filesystem operation per run of the helper program.

    import anchorfs
    helper = anchorfs.Helper()
    root = anchorfs.anchor_root("/srv/media")
    helper.ensure_dir(root, "photos")
    helper.create_file(root, "photos/a.txt", 0o644, b"hello\\n")

Standard library only. Failures raise anchorfs.Error (and its subclasses); output that does not follow the
protocol raises anchorfs.HelperError.
"""

from .errors import (Error, HelperError, HelperTimeout, IdentityChanged, ProtocolError, RacePreserved,
                     RaceRolledBack, ResultNotDelivered, RootIdentityChanged)
from .files import anchor_root, describe_fd, describe_file, identity, new_quarantine_leaf
from .helper import Helper
from .records import (MAX_CONTENT_SIZE, Bookmark, BookmarkedParent, DirectoryIdentity, FileDescription,
                      FileIdentity, RootAnchor)

__all__ = [
    "MAX_CONTENT_SIZE", "Bookmark", "BookmarkedParent", "DirectoryIdentity", "Error", "FileDescription",
    "FileIdentity", "Helper", "HelperError", "HelperTimeout", "IdentityChanged", "ProtocolError",
    "RacePreserved", "RaceRolledBack", "ResultNotDelivered", "RootAnchor", "RootIdentityChanged",
    "anchor_root", "describe_fd", "describe_file", "identity", "new_quarantine_leaf",
]

# Operation records, journals and settling them after a crash (anchorfs.journal).
from .journal import Journal, Outcome, Record, Settlement, settle, settle_all  # noqa: E402

__all__ += ["Journal", "Outcome", "Record", "Settlement", "settle", "settle_all"]
