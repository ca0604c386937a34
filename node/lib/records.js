// The records the commands take and return are plain frozen objects; every unsigned 64-bit number in them
// is a bigint. Devices are st_dev as one number (`stat -c %d` prints the same).

/** The largest content the helper creates, reads, hashes or deletes by content: 64 MiB. */
export const MAX_CONTENT_SIZE = 67108864n;

/**
 * The recover commands' group for the entry at `path`, whose parent was bookmarked by bookmarkParent of
 * that same path: the directory part (or "." for the root) and the leaf.
 */
export function bookmarkedParent(bookmark, path) {
  const slash = path.lastIndexOf('/');
  return Object.freeze({
    bookmark: bookmark.hex, device: bookmark.device, inode: bookmark.inode, uid: bookmark.uid,
    directory: slash < 0 ? '.' : path.slice(0, slash), leaf: path.slice(slash + 1),
  });
}
