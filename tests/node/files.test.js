// Filling requests in: root anchors, identities, descriptions and quarantine leaves, every number a bigint.

import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { chownSync, symlinkSync, truncateSync } from 'node:fs';
import { open } from 'node:fs/promises';
import { getgid, getuid } from 'node:process';
import { test } from 'node:test';
import * as anchorfs from '../../node/index.js';
import { scratch } from './support.js';

test('the description matches the file, to the nanosecond', async () => {
  const s = await scratch(['a=hello']);
  const status = s.status('a');
  assert.deepEqual(await s.describe('a'), {
    identity: { device: status.dev, inode: status.ino, linkCount: 1n, uid: status.uid, mode: 0o100644n },
    size: 5n, mtimeNs: status.mtimeNs, sha256: createHash('sha256').update('hello').digest('hex'),
  });
  assert.deepEqual(await s.identity('a'), (await s.describe('a')).identity);
  const rootStatus = s.status('.');
  assert.deepEqual(s.root, { path: s.path, device: rootStatus.dev, inode: rootStatus.ino, uid: BigInt(getuid()) });
});

test('refusals carry their code', async () => {
  const s = await scratch(['d/', 'a=x', 'big=']);
  symlinkSync('d', s.at('link'));
  truncateSync(s.at('big'), Number(anchorfs.MAX_CONTENT_SIZE) + 1);
  for (const [name, call, code] of [
    ['root through a symbolic link', () => anchorfs.anchorRoot(s.at('link')), 'ELOOP'],
    ['root is a file', () => anchorfs.anchorRoot(s.at('a')), 'ENOTDIR'],
    ['describe a directory', () => s.describe('d'), 'EINVAL'],
    ['describe a symbolic link', () => s.describe('link'), 'ELOOP'],
    ['describe above 64 MiB', () => s.describe('big'), 'EFBIG'],
    ['identity of a directory', () => s.identity('d'), 'EINVAL'],
  ]) {
    await assert.rejects(call(), { code }, name);
  }
});

// A change between the two status probes that moves only the change time (a chown to the same owner, made
// a clock tick after the file was written) is enough: the hash is not believed.
test('a file whose change time moved while it was hashed is refused', async () => {
  const s = await scratch(['a=' + 'x'.repeat(3 << 20)]);
  await new Promise((resolve) => setTimeout(resolve, 50));
  const handle = await open(s.at('a'));
  const read = handle.read.bind(handle);
  handle.read = async (...args) => {
    chownSync(s.at('a'), getuid(), getgid());
    handle.read = read;
    return read(...args);
  };
  try {
    await assert.rejects(anchorfs.describeHandle(handle), { code: 'ESTALE' });
  } finally {
    await handle.close();
  }
});

test('quarantine leaves are fresh and well formed; bookmarked parents split the path', () => {
  const leaves = new Set([1, 2, 3, 4].map(() => anchorfs.newQuarantineLeaf()));
  assert.equal(leaves.size, 4);
  for (const leaf of leaves) assert.match(leaf, /^\.vor-native-quarantine-[0-9a-f]{32}$/);
  const bookmark = { hex: 'ab', device: 1n, inode: 2n, uid: 3n };
  assert.deepEqual(anchorfs.bookmarkedParent(bookmark, 'a/b/c'),
    { bookmark: 'ab', device: 1n, inode: 2n, uid: 3n, directory: 'a/b', leaf: 'c' });
  assert.equal(anchorfs.bookmarkedParent(bookmark, 'c').directory, '.');
});
