// Filling requests in from the file system: root anchors, file identities and descriptions, and fresh
// durable quarantine leaves. Failures are Node's system errors (`code` such as "ELOOP", `errno` negative as
// Node gives it), the refusals of these functions included.

import { createHash, randomBytes } from 'node:crypto';
import { closeSync, constants as fsConstants, fstatSync, lstatSync, openSync, statfsSync } from 'node:fs';
import { lstat, open } from 'node:fs/promises';
import { constants } from 'node:os';
import { MAX_CONTENT_SIZE } from './records.js';

export const QUARANTINE_PREFIX = '.vor-native-quarantine-';
const CHUNK = 1 << 20;
const { O_RDONLY, O_DIRECTORY, O_NOFOLLOW, O_NONBLOCK } = fsConstants;
// node:fs does not name O_PATH; this is its value on every Linux architecture Node runs on.
const O_PATH = 0o10000000;
const PROC_SUPER_MAGIC = 0x9fa0;

function refused(code, syscall, path) {
  return Object.assign(new Error(`${code}: refused, ${syscall} ${JSON.stringify(String(path))}`),
    { code, errno: -constants.errno[code], syscall, path });
}

// Node has no openat: a directory held open is named by its /proc/self/fd entry, which the kernel follows to
// that very directory, and only the name after it is looked up (never followed: O_NOFOLLOW, lstat). The
// entry is believed only on a proven procfs.
//
// These walks make synchronous calls: a few opens and status calls on names the helper has just walked
// (hot in the kernel's caches) take some 30 us together, where a round trip through Node's thread pool
// each would take some 200 us, and could queue behind the caller's own file work.
export function descriptorPath(fd) {
  if (statfsSync('/proc/self/fd').type !== PROC_SUPER_MAGIC) throw refused('ENOTSUP', 'statfs', '/proc/self/fd');
  return `/proc/self/fd/${fd}`;
}

// Opens `components` one at a time from the held directory `fd` (which is closed), no link followed and
// nothing above it reached: the helper refuses a ".." component, and so does this walk (EINVAL).
function walk(fd, components, flags) {
  for (const component of components) {
    let next;
    try {
      if (component === '..') throw refused('EINVAL', 'open', component);
      next = openSync(`${descriptorPath(fd)}/${component}`, flags | O_DIRECTORY | O_NOFOLLOW);
    } finally {
      closeSync(fd);
    }
    fd = next;
  }
  return fd;
}

/**
 * The descriptor of the directory `components` below `root`, opened with `flags` one name at a time from
 * the root without following a symbolic link (ELOOP), the root proven to be the anchored directory first
 * (ESTALE otherwise). A ".." component is refused (EINVAL), as the helper refuses it. The caller closes it.
 */
export function openBelow(root, components, flags) {
  const fd = openSync(root.path, flags | O_DIRECTORY | O_NOFOLLOW);
  try {
    const status = fstatSync(fd, { bigint: true });
    if (status.dev !== BigInt(root.device) || status.ino !== BigInt(root.inode) || status.uid !== BigInt(root.uid)) {
      throw refused('ESTALE', 'fstat', root.path);
    }
  } catch (error) {
    closeSync(fd);
    throw error;
  }
  return walk(fd, components, flags);
}

/** The status (bigint) of the entry at the relative `path` below `root`, its parent reached by openBelow and
 * its last name not followed either. */
export function statusBelow(root, path) {
  const components = path.split('/');
  const leaf = components.pop();
  if (leaf === '..') throw refused('EINVAL', 'lstat', path);
  const fd = openBelow(root, components, O_PATH);
  try {
    return lstatSync(`${descriptorPath(fd)}/${leaf}`, { bigint: true });
  } finally {
    closeSync(fd);
  }
}

/** The anchor of the directory at `path` as it is now: device, inode and owner uid. The last component is
 * not followed when it is a symbolic link (ELOOP), as the helper will not follow it. */
export async function anchorRoot(path) {
  let handle;
  try {
    handle = await open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  } catch (error) {
    if (error.code === 'ENOTDIR' && (await lstat(path)).isSymbolicLink()) throw refused('ELOOP', 'open', path);
    throw error;
  }
  try {
    const status = await handle.stat({ bigint: true });
    return Object.freeze({ path, device: status.dev, inode: status.ino, uid: status.uid });
  } finally {
    await handle.close();
  }
}

const identityOf = (s) => Object.freeze({ device: s.dev, inode: s.ino, linkCount: s.nlink, uid: s.uid, mode: s.mode });

/** The identity of the regular file at `path` (a symbolic link is not followed; EINVAL if not regular). */
export async function identity(path) {
  const status = await lstat(path, { bigint: true });
  if (!status.isFile()) throw refused('EINVAL', 'lstat', path);
  return identityOf(status);
}

// The change time too: a file whose status moved in any of these was changed while it was read.
const WHILE_HASHED = ['dev', 'ino', 'nlink', 'uid', 'mode', 'size', 'mtimeNs', 'ctimeNs'];
const sameWhileHashed = (before, after) => WHILE_HASHED.every((f) => before[f] === after[f]);

/**
 * The description of the regular file open as `handle`, hashed from offset 0 with positional reads (its
 * position is not used). Refused: not a regular file (EINVAL), above 64 MiB (EFBIG), modified before the
 * epoch (ERANGE), changed while it was hashed (ESTALE).
 */
export async function describeHandle(handle, label = `fd ${handle.fd}`) {
  const before = await handle.stat({ bigint: true });
  if (!before.isFile()) throw refused('EINVAL', 'fstat', label);
  if (before.size > MAX_CONTENT_SIZE) throw refused('EFBIG', 'fstat', label);
  if (before.mtimeNs < 0n) throw refused('ERANGE', 'fstat', label);
  const digest = createHash('sha256');
  const buffer = Buffer.allocUnsafe(CHUNK);
  let offset = 0n;
  // One read past the size must find the end: a file that grew is refused.
  for (;;) {
    const { bytesRead } = await handle.read(buffer, 0, CHUNK, offset);
    if (bytesRead === 0) break;
    offset += BigInt(bytesRead);
    if (offset > before.size) throw refused('ESTALE', 'read', label);
    digest.update(buffer.subarray(0, bytesRead));
  }
  const after = await handle.stat({ bigint: true });
  if (offset !== before.size || !sameWhileHashed(before, after)) throw refused('ESTALE', 'fstat', label);
  return Object.freeze({ identity: identityOf(after), size: after.size, mtimeNs: after.mtimeNs,
    sha256: digest.digest('hex') });
}

/** describeHandle of the name `path`, opened without following a symbolic link in its last component and
 * without blocking on a FIFO. */
export async function describeFile(path) {
  const handle = await open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  try {
    return await describeHandle(handle, path);
  } finally {
    await handle.close();
  }
}

/** A fresh durable quarantine leaf: the prefix and 32 lowercase hexadecimal digits from the kernel's random
 * source. */
export function newQuarantineLeaf() {
  return QUARANTINE_PREFIX + randomBytes(16).toString('hex');
}
