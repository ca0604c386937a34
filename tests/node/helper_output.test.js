// What the client believes of a helper's output: fake helpers print answers that break the protocol (each
// must reject with HelperError and its reason) or failure lines the real program reports only under a race.

import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { Writable } from 'node:stream';
import { test } from 'node:test';
import * as anchorfs from '../../node/index.js';
import { fakeHelper } from './support.js';

const ROOT = { path: '/nonexistent-root', device: 1n, inode: 2n, uid: 0n };
const GROUP = { bookmark: '00', device: 1n, inode: 2n, uid: 0n, directory: '.', leaf: 'f' };
const FILE = { identity: { device: 1n, inode: 2n, linkCount: 1n, uid: 0n, mode: 0o100644n }, size: 1n, mtimeNs: 0n,
  sha256: '0'.repeat(64) };

// Which command each row runs, by its success shape.
const CALLS = {
  plain: (h) => h.removePrivateFile(ROOT, 'f', 1n, '0'.repeat(64)),
  create: (h) => h.createFile(ROOT, 'f', 0o644, Buffer.alloc(200000, 'x')),
  recover: (h) => h.recoverRename(ROOT, GROUP, GROUP, FILE),
  directory: (h) => h.ensureDir(ROOT, 'd'),
  bookmark: (h) => h.bookmarkParent(ROOT, 'd/f'),
  size: (h) => h.readPrivateFile(ROOT, 'f', 100n),
  'size into': (h) => h.readPrivateFileInto(ROOT, 'f', new Writable({ write: (_c, _e, done) => done() }), 100n),
};

const OK = '{"ok":true}\n';

// [call, stdout, stderr, exit status, reason]
const BROKEN = [
  ['plain', '', '', 0, 'no_line'],
  ['plain', 'garbage\n', '', 0, 'malformed_line'],
  ['plain', '{"ok":true}', '', 0, 'malformed_line'],
  ['plain', '{"ok":true,"ok":true}\n', '', 0, 'malformed_line'],
  ['plain', '{"ok":false,"code":"\\u0045NOENT","errno":2}\n', '', 10, 'malformed_line'],
  ['plain', Buffer.from('{"ok":true,"x":"\xff"}\n', 'latin1'), '', 0, 'malformed_line'],
  ['plain', '\ufeff{"ok":true}\n', '', 0, 'malformed_line'],
  ['plain', '{"ok":1}\n', '', 0, 'wrong_shape'],
  ['plain', '{"ok":true,"size":"1"}\n', '', 0, 'wrong_shape'],
  ['plain', OK + 'x', '', 0, 'extra_output'],
  ['plain', '{'.repeat(200000), '', 0, 'extra_output'],
  ['plain', OK, 'oops', 0, 'unexpected_stderr'],
  ['plain', OK, '', 10, 'exit_status_mismatch'],
  ['plain', '{"ok":false,"code":"ENOENT","errno":2}\n', '', 0, 'exit_status_mismatch'],
  ['plain', '{"ok":false,"code":"INVALID_PROTOCOL","errno":22}\n', '', 10, 'exit_status_mismatch'],
  ['plain', '{"ok":false,"code":"ENOENT","errno":3}\n', '', 10, 'wrong_shape'],
  ['plain', '{"ok":false,"code":"ENOENT","errno":"2"}\n', '', 10, 'wrong_shape'],
  ['plain', '{"ok":false,"code":"FILESYSTEM_ERROR","errno":116}\n', '', 10, 'wrong_shape'],
  ['plain', '{"ok":false,"code":"FILESYSTEM_ERROR","errno":2147483648}\n', '', 10, 'wrong_shape'],
  ['plain', '{"ok":false,"code":"ENOSPC","errno":28}\n', '', 10, 'unknown_code'],
  ['plain', '{"ok":false,"code":"ENOENT","errno":2}\nx', '', 10, 'extra_output'],
  ['recover', '{"ok":false,"code":"RACE_PRESERVED","errno":116}\n', '', 10, 'wrong_shape'],
  ['directory', '{"ok":false,"code":"RACE_ROLLED_BACK","errno":116}\n', '', 10, 'wrong_shape'],
  ['directory', '{"ok":true,"device":"1","inode":"2","uid":"0","mode":"33188"}\n', '', 0, 'wrong_shape'],
  ['directory', '{"ok":true,"device":"01","inode":"2","uid":"0","mode":"16832"}\n', '', 0, 'wrong_shape'],
  ['directory', '{"ok":true,"device":"1","inode":"18446744073709551616","uid":"0","mode":"16832"}\n', '', 0,
    'wrong_shape'],
  ['directory', OK, '', 0, 'wrong_shape'],
  ['bookmark', '{"ok":true,"bookmark":"abc","device":"1","inode":"2","uid":"0"}\n', '', 0, 'wrong_shape'],
  ['bookmark', '{"ok":true,"bookmark":"AB","device":"1","inode":"2","uid":"0"}\n', '', 0, 'wrong_shape'],
  ['size', '{"ok":true,"size":"5"}\nabc', '', 0, 'missing_bytes'],
  ['size into', '{"ok":true,"size":"3"}\nabcd', '', 0, 'extra_output'],
  ['size', '{"ok":true,"size":"101"}\n', '', 0, 'wrong_shape'],
  ['size', '{"ok":true,"size":"18446744073709551616"}\n', '', 0, 'wrong_shape'],
  ['size', '{"ok":true,"size":"3"}\nabc', '', 10, 'exit_status_mismatch'],
  // Exit status 11: the line or the bytes after it were not written whole.
  ['plain', OK, '', 11, 'not_delivered'],
  ['create', '{"ok":tr', '', 11, 'not_delivered'],
  ['size', '{"ok":true,"size":"5"}\nab', '', 11, 'not_delivered'],
];

for (const [call, stdout, stderr, status, reason] of BROKEN) {
  test(`${call} ${JSON.stringify(String(stdout).slice(0, 60))} exit ${status}: ${reason}`, async () => {
    const helper = new anchorfs.Helper(fakeHelper(stdout, stderr, status), { timeout: 10000 });
    const error = await CALLS[call](helper).then(() => assert.fail('accepted'), (e) => e);
    assert.equal(error.constructor, status === 11 ? anchorfs.ResultNotDelivered : anchorfs.HelperError);
    assert.deepEqual([error.reason, error.code], [reason, null]);
  });
}

// Failure lines that the real program prints only under a race or a rare fault: [call, line, exit, class,
// code and errno when not the line's].
const REPORTED = [
  ['plain', '{"ok":false,"code":"INVALID_PROTOCOL","errno":22}\n', 2, anchorfs.ProtocolError],
  ['create', '{"ok":false,"code":"RACE_ROLLED_BACK","errno":116}\n', 10, anchorfs.RaceRolledBack],
  ['directory', '{"ok":false,"code":"RACE_PRESERVED","errno":5}\n', 10, anchorfs.RacePreserved],
  ['size', '{"ok":false,"code":"FILESYSTEM_ERROR","errno":28}\n', 10, anchorfs.AnchorfsError],
  // A create answered as made while the name shows no such file: changed since, so nothing is described.
  ['create', OK, 0, anchorfs.RacePreserved, { code: 'RACE_PRESERVED', errno: 116 }],
];

for (const [call, line, status, Kind, reported = JSON.parse(line)] of REPORTED) {
  test(`${call} ${line.trim()}: ${Kind.name}`, async () => {
    const helper = new anchorfs.Helper(fakeHelper(line, '', status), { timeout: 10000 });
    const error = await CALLS[call](helper).then(() => assert.fail('accepted'), (e) => e);
    const { code, errno } = reported;
    assert.equal(error.constructor, Kind);
    assert.deepEqual([error.code, error.errno], [code, errno]);
    assert.match(error.message, new RegExp(`^[a-z-]+: ${code} \\(errno ${errno}\\) \\[`));
  });
}

test('numbers above 2^53 come and go exactly; those that cannot are refused', async () => {
  const line = '{"ok":true,"device":"18446744073709551615","inode":"9007199254740993","uid":"0","mode":"16832"}\n';
  const directory = await CALLS.directory(new anchorfs.Helper(fakeHelper(line)));
  assert.deepEqual({ ...directory }, { device: 18446744073709551615n, inode: 9007199254740993n, uid: 0n, mode: 16832n });
  const script = fakeHelper(OK);
  await new anchorfs.Helper(script).removePrivateFile(ROOT, 'f', 9007199254740993n, 'a'.repeat(64));
  assert.equal(readFileSync(join(dirname(script), 'args'), 'utf8').split('\n')[6], '9007199254740993');
  // A number that may already have lost its precision is refused, never rounded.
  await assert.rejects(new anchorfs.Helper(script).removePrivateFile(ROOT, 'f', 2 ** 53, 'a'), TypeError);
  await assert.rejects(new anchorfs.Helper(script).removePrivateFile(ROOT, 'f', 1n << 64n, 'a'), RangeError);
  // So is a timeout Node's timers would cut short to 1 ms.
  await assert.rejects(new anchorfs.Helper(script, { timeout: 2 ** 31 }).ensureDir(ROOT, 'd'), RangeError);
});

test('the helper gets exact arguments and an empty environment', async () => {
  const script = fakeHelper(OK);
  await new anchorfs.Helper(script).removePrivateFile(ROOT, 'd/f', 3, 'a'.repeat(64));
  const args = readFileSync(join(dirname(script), 'args'), 'utf8').split('\n').slice(0, -1);
  assert.deepEqual(args, ['remove-private-file', '/nonexistent-root', '1', '2', '0', 'd/f', '3', 'a'.repeat(64)]);
  // The shell itself sets PWD; nothing of the parent's environment arrives.
  const env = readFileSync(join(dirname(script), 'env'), 'utf8').split('\n');
  assert.deepEqual(env.filter((v) => v && !v.startsWith('PWD=') && !v.startsWith('OLDPWD=')), []);
});

test('a helper killed by a signal, or missing', async () => {
  const killed = await CALLS.plain(new anchorfs.Helper(fakeHelper(OK, '', 0, 'kill -9 $$'))).catch((e) => e);
  assert.deepEqual([killed.reason, killed.signal], ['killed_by_signal', 9]);
  const missing = await CALLS.plain(new anchorfs.Helper('/nonexistent/anchorfs')).catch((e) => e);
  assert.deepEqual([missing.constructor, missing.reason, missing.errno], [anchorfs.HelperError, 'spawn_failed', 2]);
});

// [situation, fake helper, call]: each run outlives its timeout of 300 ms and is killed after the grace.
const STUCK = [
  ['a helper that ignores its closed input', () => fakeHelper(OK, '', 0, 'exec /bin/sleep 30'), CALLS.create],
  // Its output stays paused while the sink does not drain: the kill must still be seen.
  ['a read into a writable that never drains', () => fakeHelper(`{"ok":true,"size":"1000000"}\n${'x'.repeat(1000000)}`),
    (h) => h.readPrivateFileInto(ROOT, 'f', new Writable({ highWaterMark: 16, write: () => {} }), 1000000)],
];

for (const [name, script, call] of STUCK) {
  test(`${name} is killed after the grace period`, async () => {
    const helper = new anchorfs.Helper(script(), { timeout: 300 });
    const started = Date.now();
    const error = await call(helper).catch((e) => e);
    const took = Date.now() - started;
    assert.deepEqual([error.constructor, error.reason, error.signal], [anchorfs.HelperTimeout, 'timed_out', 9]);
    assert.ok(took >= 300 + anchorfs.GRACE_MS && took < 300 + anchorfs.GRACE_MS + 2000, `took ${took} ms`);
  });
}

test('a signal aborted before the call starts nothing', async () => {
  const script = fakeHelper(OK);
  const error = await new anchorfs.Helper(script).ensureDir(ROOT, 'd', { signal: AbortSignal.abort() }).catch((e) => e);
  assert.deepEqual([error.constructor, error.reason], [anchorfs.HelperCancelled, 'cancelled']);
  assert.throws(() => readFileSync(join(dirname(script), 'args')), { code: 'ENOENT' });
});
