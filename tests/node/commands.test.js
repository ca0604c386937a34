// Every command through the client against the built program, in a scratch root: the call, what it
// returns, and the tree afterwards. Then one case per class of failure code, and cancellation mid-copy.

import assert from 'node:assert/strict';
import { linkSync, readdirSync, renameSync } from 'node:fs';
import { open } from 'node:fs/promises';
import { Readable, Writable } from 'node:stream';
import { test } from 'node:test';
import * as anchorfs from '../../node/index.js';
import { BINARY, scratch } from './support.js';

const LEAF = anchorfs.newQuarantineLeaf();
const skip = BINARY ? false : 'ANCHORFS_BINARY names no built program';
const helper = BINARY ? new anchorfs.Helper(BINARY, { timeout: 30000 }) : null;

/** The bookmarked-parent group of each path, taken before the mutation as a parent application would. */
const groups = (h, s, ...paths) =>
  Promise.all(paths.map(async (p) => anchorfs.bookmarkedParent(await h.bookmarkParent(s.root, p), p)));

function swapByHand(s, a, b) {
  renameSync(s.at(a), s.at('swap.tmp'));
  renameSync(s.at(b), s.at(a));
  renameSync(s.at('swap.tmp'), s.at(b));
}

function directoryOf(s, relative) {
  const status = s.status(relative);
  return { device: status.dev, inode: status.ino, uid: status.uid, mode: status.mode };
}

// A writable that takes 64 KiB at a time slowly, so that the helper's output waits on it.
function slowSink() {
  const chunks = [];
  const sink = new Writable({
    highWaterMark: 65536,
    write(chunk, _encoding, done) { chunks.push(chunk); setTimeout(done, 1); },
  });
  // Ended and finished first: a writable may still hold the last chunks the client handed it.
  return { sink, content: async () => { await new Promise((resolve) => sink.end(resolve)); return Buffer.concat(chunks); } };
}

const BIG = Buffer.alloc(3 << 20, 'abc');

// [name, tree, run (returns what the method returned), check]
const ROWS = [
  ['bookmarkParent', ['d/'], (h, s) => h.bookmarkParent(s.root, 'd/x'),
    (s, r) => assert.deepEqual([r.device, r.inode], [s.status('d').dev, s.status('d').ino])],
  ['ensureDir', ['d/'], (h, s) => h.ensureDir(s.root, 'd/e'),
    (s, r) => assert.deepEqual({ ...r }, { ...directoryOf(s, 'd/e'), mode: 0o40700n })],
  ['ensurePrivateDir', [], (h, s) => h.ensurePrivateDir(s.root, 'p'),
    (s, r) => assert.deepEqual({ ...r }, directoryOf(s, 'p'))],
  // A create resolves to the new file's description, the content hashed as it was sent (from a buffer, a
  // file handle and a stream alike).
  ['createFile', [], (h, s) => h.createFile(s.root, 'f', 0o640, Buffer.from('one\n')),
    async (s, r) => assert.deepEqual([r, s.content('f').toString(), s.status('f').mode],
      [await s.describe('f'), 'one\n', 0o100640n])],
  ['createFile from a file handle', ['a=' + '0123456789'.repeat(30000)], async (h, s) => {
    const handle = await open(s.at('a'));
    try { return await h.createFile(s.root, 'f', 0o644n, handle); } finally { await handle.close(); }
  }, async (s, r) => assert.deepEqual([s.content('f'), r], [s.content('a'), await s.describe('f')])],
  ['createPrivateFile from a stream', ['p/'], (h, s) => h.createPrivateFile(s.root, 'p/f', {
    stream: (async function* () { yield BIG.subarray(0, 1000); yield BIG.subarray(1000); })(), size: BIG.length,
  }), async (s, r) => assert.deepEqual([s.content('p/f').equals(BIG), s.status('p/f').mode, r],
    [true, 0o100600n, await s.describe('p/f')])],
  ['createPrivateFileStaged', ['p/'],
    (h, s) => h.createPrivateFileStaged(s.root, 'p/f', 'p/f.staging', Buffer.from('{}\n')),
    async (s, r) => assert.deepEqual([s.content('p/f').toString(), s.exists('p/f.staging'), r],
      ['{}\n', false, await s.describe('p/f')])],
  ['removePrivateStagingFile', ['p/', 'p/s=half'], (h, s) => h.removePrivateStagingFile(s.root, 'p/s', 100n),
    (s) => assert.equal(s.exists('p/s'), false)],
  ['readPrivateFile', ['p/', 'p/f=secret'], (h, s) => h.readPrivateFile(s.root, 'p/f', 100n),
    (s, r) => assert.equal(r.toString(), 'secret')],
  ['readPrivateFileInto a slow writable', ['p/'], async (h, s) => {
    await h.createPrivateFile(s.root, 'p/f', BIG);
    const { sink, content } = slowSink();
    return [await h.readPrivateFileInto(s.root, 'p/f', sink), await content()];
  }, (s, [size, content]) => assert.deepEqual([size, content.equals(BIG)], [BigInt(BIG.length), true])],
  ['readExternalFile', ['d/', 'd/f=hello'], (h, s) => h.readExternalFile(s.root, 'd/f', directoryOf(s, 'd'), 100n),
    (s, r) => assert.deepEqual([r.toString(), s.status('d/f').mode], ['hello', 0o100644n])],
  ['readExternalFileInto', ['d/', 'd/f=hello'], async (h, s) => {
    const { sink, content } = slowSink();
    return [await h.readExternalFileInto(s.root, 'd/f', directoryOf(s, 'd'), sink, 100), await content()];
  }, (s, [size, content]) => assert.deepEqual([size, content.toString()], [5n, 'hello'])],
  ['removePrivateFile', ['p/', 'p/f=gone'],
    async (h, s) => h.removePrivateFile(s.root, 'p/f', 4n, (await s.describe('p/f')).sha256),
    (s) => assert.equal(s.exists('p/f'), false)],
  ['removePrivateFile by the description a create resolved to', ['p/'],
    async (h, s) => h.removePrivateFile(s.root, 'p/f', await h.createPrivateFile(s.root, 'p/f', Buffer.from('gone'))),
    (s) => assert.equal(s.exists('p/f'), false)],
  ['quarantinePrivateTree', ['p/', 'p/t/', 'p/t/f=x'], (h, s) => h.quarantinePrivateTree(s.root, 'p/t', 'p/q'),
    (s) => assert.deepEqual([s.exists('p/t'), s.content('p/q/f').toString()], [false, 'x'])],
  ['removePrivateTree', ['p/', 'p/t/', 'p/t/u/', 'p/t/u/f=x'], (h, s) => h.removePrivateTree(s.root, 'p/t', 16n, 4n),
    (s) => assert.deepEqual([s.exists('p/t'), s.exists('p')], [false, true])],
  ['renameExcl', ['a=1'], async (h, s) => h.renameExcl(s.root, 'a', 'b', await s.identity('a')),
    (s) => assert.deepEqual([s.exists('a'), s.content('b').toString()], [false, '1'])],
  ['renameSwap', ['a=1', 'b=2'], async (h, s) => h.renameSwap(s.root, 'a', 'b', await s.identity('a'), await s.identity('b')),
    (s) => assert.deepEqual([s.content('a').toString(), s.content('b').toString()], ['2', '1'])],
  ['linkExcl', ['a=1', 't/'],
    async (h, s) => h.linkExcl(s.root, 'a', 'b', 't/b.staging', 't/' + LEAF, await s.describe('a')),
    (s) => assert.deepEqual([s.status('b').ino, s.status('a').nlink], [s.status('a').ino, 2n])],
  // The description's mtime in nanoseconds is above 2^53: it must reach the helper exactly.
  ['unlinkChecked', ['a=1', 't/'],
    async (h, s) => h.unlinkChecked(s.root, 'a', 't/a.staging', 't/' + LEAF, await s.describe('a')),
    (s) => assert.deepEqual([s.exists('a'), readdirSync(s.at('t'))], [false, []])],
  ['recoverUnlink', ['a=1', 't/'], async (h, s) => {
    const file = await s.describe('a');
    const [source, staging, quarantine] = await groups(h, s, 'a', 't/a.staging', 't/' + LEAF);
    renameSync(s.at('a'), s.at('t/a.staging')); // interrupted after the move to staging
    return h.recoverUnlink(s.root, source, staging, quarantine, file);
  }, (s) => assert.deepEqual([s.exists('a'), readdirSync(s.at('t'))], [false, []])],
  ['recoverRename', ['a=1'], async (h, s) => {
    const file = await s.describe('a');
    const [source, destination] = await groups(h, s, 'a', 'b');
    renameSync(s.at('a'), s.at('b'));
    return h.recoverRename(s.root, source, destination, file);
  }, (s) => assert.deepEqual([s.content('a').toString(), s.exists('b')], ['1', false])],
  ['recoverSwap', ['a=1', 'b=2'], async (h, s) => {
    const [file1, file2] = [await s.describe('a'), await s.describe('b')];
    const [a, b] = await groups(h, s, 'a', 'b');
    swapByHand(s, 'a', 'b');
    return h.recoverSwap(s.root, a, b, file1, file2);
  }, (s) => assert.deepEqual([s.content('a').toString(), s.content('b').toString()], ['1', '2'])],
  ['recoverLink', ['a=1', 't/'], async (h, s) => {
    const file = await s.describe('a');
    const [source, destination, staging, quarantine] = await groups(h, s, 'a', 'b', 't/b.staging', 't/' + LEAF);
    linkSync(s.at('a'), s.at('b'));
    return h.recoverLink(s.root, source, destination, staging, quarantine, file);
  }, (s) => assert.deepEqual([s.exists('b'), s.status('a').nlink, readdirSync(s.at('t'))], [false, 1n, []])],
];

test('the table covers all twenty commands', () => {
  const names = new Set(ROWS.map(([name]) => name.split(' ')[0].replace(/Into$/, '')));
  assert.equal(names.size, 20);
});

for (const [name, tree, run, check] of ROWS) {
  test(name, { skip }, async () => {
    const s = await scratch(tree);
    await check(s, await run(helper, s));
  });
}

// One case per class of failure the real program reports: the error class, code and errno.
const FAILURES = [
  ['root of another identity', ['d/'], anchorfs.RootIdentityChanged, 'ROOT_IDENTITY_CHANGED', 116,
    (h, s) => h.ensureDir({ ...s.root, inode: s.root.inode + 1n }, 'd/e')],
  ['file of another identity', ['a=1'], anchorfs.IdentityChanged, 'IDENTITY_CHANGED', 116,
    (h, s) => h.renameExcl(s.root, 'a', 'b', { device: 0n, inode: 0n, linkCount: 1n, uid: 0n, mode: 0o100644n })],
  ['name taken', ['a=1'], anchorfs.AnchorfsError, 'EEXIST', 17,
    (h, s) => h.createFile(s.root, 'a', 0o644, Buffer.from('x'))],
  // The helper refuses before it reads the content: the writes meet EPIPE and the line is still reported.
  ['name taken, 32 MiB being written', ['a=1'], anchorfs.AnchorfsError, 'EEXIST', 17,
    (h, s) => h.createFile(s.root, 'a', 0o644, Buffer.alloc(32 << 20))],
  // A description of other content: the file stays.
  ['removePrivateFile by a description of another digest', ['p/', 'p/f=kept'], anchorfs.IdentityChanged,
    'IDENTITY_CHANGED', 116, async (h, s) => {
      const other = { ...(await s.describe('p/f')), sha256: 'f'.repeat(64) };
      return h.removePrivateFile(s.root, 'p/f', other)
        .finally(() => assert.equal(s.content('p/f').toString(), 'kept'));
    }],
  ['name missing', ['p/'], anchorfs.AnchorfsError, 'ENOENT', 2, (h, s) => h.readPrivateFile(s.root, 'p/f')],
  ['malformed path', [], anchorfs.AnchorfsError, 'EINVAL', 22, (h, s) => h.ensureDir(s.root, '../x')],
  ['stream shorter than announced', [], anchorfs.AnchorfsError, 'EINVAL', 22,
    (h, s) => h.createFile(s.root, 'f', 0o644, { stream: Readable.from([Buffer.from('abc')]), size: 5 })],
  // A writable that fails mid-read: the call rejects with its error and the helper is stopped, not left waiting.
  ['sink that fails', ['p/'], Error, 'EIO', undefined, async (h, s) => {
    await h.createPrivateFile(s.root, 'p/f', BIG);
    const sink = new Writable({ highWaterMark: 1024, write: (_c, _e, done) => done(Object.assign(new Error('disk'), { code: 'EIO' })) });
    sink.on('error', () => {});
    return h.readPrivateFileInto(s.root, 'p/f', sink);
  }],
  // The last chunk is held back: the helper sees a short input, and the call rejects with the stream's fault.
  ['stream longer than announced', [], RangeError, undefined, undefined,
    (h, s) => h.createFile(s.root, 'f', 0o644, { stream: Readable.from([Buffer.from('abc'), Buffer.from('d')]), size: 3 })],
];

for (const [name, tree, Kind, code, errno, run] of FAILURES) {
  test(`failure: ${name}`, { skip }, async () => {
    const s = await scratch(tree);
    const error = await run(helper, s).then(() => assert.fail('no failure'), (e) => e);
    assert.equal(error.constructor, Kind);
    assert.deepEqual([error.code, error.errno], [code, errno]);
    assert.equal(s.exists('f'), false);
  });
}

// Content that arrives slowly: 64 KiB every 20 ms of 100 chunks, cancelled after 300 ms.
async function* slowContent() {
  for (let i = 0; i < 100; i += 1) {
    yield Buffer.alloc(65536, i);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

for (const [how, Kind, options] of [
  ['an AbortSignal', anchorfs.HelperCancelled, () => ({ signal: AbortSignal.timeout(300) })],
  ['the timeout', anchorfs.HelperTimeout, () => ({ timeout: 300 })],
]) {
  test(`a create cancelled mid-copy by ${how} leaves no file`, { skip }, async () => {
    const s = await scratch([]);
    const error = await helper.createFile(s.root, 'f', 0o644, { stream: slowContent(), size: 100 * 65536 }, options())
      .then(() => assert.fail('not cancelled'), (e) => e);
    assert.equal(error.constructor, Kind);
    // Closing the input was enough: the helper answered the short input itself, unkilled.
    assert.deepEqual([error.exitStatus, error.signal, error.line], [10, 0, '{"ok":false,"code":"EINVAL","errno":22}']);
    assert.equal(s.exists('f'), false);
  });
}
