// Operation records, journals and settlement, driven by one table of operations: each row prepares a record
// in a scratch root, says what the tree looks like before and after the operation, and which crash states it
// can be left in. Every row runs through the JSON form, the journal, a settle after each crash state, a kill
// of the application at each helper run, and the Python client (a record written by one is settled by the
// other).

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { chmodSync, linkSync, lstatSync, mkdtempSync, readdirSync, renameSync, symlinkSync, unlinkSync,
  writeFileSync }
  from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import * as anchorfs from '../../node/index.js';
import { BINARY, scratch } from './support.js';

const O = anchorfs.Outcome;
const skip = BINARY ? false : 'ANCHORFS_BINARY names no built program';
const helper = BINARY ? new anchorfs.Helper(BINARY, { timeout: 30000 }) : null;
const PYTHON = process.env.ANCHORFS_PYTHON || 'python3';
const PYTHON_PACKAGE = process.env.ANCHORFS_PYTHON_PACKAGE || fileURLToPath(new URL('../../python', import.meta.url));
const SETTINGS = Buffer.from('theme=dark\n');
const BASE_TREE = ['d/', 'p/'];

const text = (s, relative) => s.content(relative).toString();
const holds = (state, s) => { try { return state(s); } catch { return false; } };
const path = (record, role) => record.names[role].path;
const stagingGone = (s) => !readdirSync(s.at('p')).some((n) => n.startsWith(anchorfs.STAGING_PREFIX));
const journalNames = (s) => readdirSync(s.at(anchorfs.JOURNAL_DIRECTORY));
const moveTo = (role) => (s, r) => renameSync(s.at('a'), s.at(path(r, role)));

// name, tree, prepare, the same record prepared by the Python client, before (the tree as before the
// operation), after (its effect in place), midway (crash states reached by hand, as an interrupted run leaves
// them, with the outcome settling must report), notRun / ran (settling a record whose operation never ran /
// completed), redoable, content.
const ROWS = [
  { name: 'rename-excl', tree: ['a=A'],
    prepare: async (h, s) => anchorfs.prepareRenameExcl(h, s.root, 'a', 'd/b', await s.describe('a')),
    python: "j.prepare_rename_excl(h, root, 'a', 'd/b', at('a'))",
    before: (s) => text(s, 'a') === 'A' && !s.exists('d/b'),
    after: (s) => text(s, 'd/b') === 'A' && !s.exists('a') },
  { name: 'rename-swap', tree: ['a=A', 'd/b=B'],
    prepare: async (h, s) => anchorfs.prepareRenameSwap(h, s.root, 'a', 'd/b', await s.describe('a'),
      await s.describe('d/b')),
    python: "j.prepare_rename_swap(h, root, 'a', 'd/b', at('a'), at('d/b'))",
    before: (s) => text(s, 'a') === 'A' && text(s, 'd/b') === 'B',
    after: (s) => text(s, 'a') === 'B' && text(s, 'd/b') === 'A' },
  { name: 'link-excl', tree: ['a=A'],
    prepare: async (h, s) => anchorfs.prepareLinkExcl(h, s.root, 'a', 'd/b', await s.describe('a')),
    python: "j.prepare_link_excl(h, root, 'a', 'd/b', at('a'))",
    before: (s) => s.status('a').nlink === 1n && readdirSync(s.at('d')).length === 0,
    after: (s) => s.status('a').ino === s.status('d/b').ino,
    midway: { 'link under its staging name': [(s, r) => linkSync(s.at('a'), s.at(path(r, 'staging'))), O.UNDONE] } },
  { name: 'unlink-checked', tree: ['a=A'],
    prepare: async (h, s) => anchorfs.prepareUnlinkChecked(h, s.root, 'a', await s.describe('a'), { scratch: 'd' }),
    python: "j.prepare_unlink_checked(h, root, 'a', at('a'), scratch='d')",
    before: (s) => text(s, 'a') === 'A',
    after: (s) => !s.exists('a') && readdirSync(s.at('d')).length === 0,
    midway: { 'file under its staging name': [moveTo('staging'), O.COMPLETED],
      'file under its quarantine name': [moveTo('quarantine'), O.COMPLETED] },
    notRun: O.COMPLETED, ran: O.COMPLETED, redoable: false },
  { name: 'create-private-file-staged', tree: [],
    prepare: async (h, s) => anchorfs.prepareCreatePrivateFileStaged(s.root, 'p/settings', SETTINGS),
    python: "j.prepare_create_private_file_staged(root, 'p/settings', b'theme=dark\\n')",
    before: (s) => !s.exists('p/settings') && stagingGone(s),
    after: (s) => text(s, 'p/settings') === SETTINGS.toString() && stagingGone(s),
    midway: { 'half a file under its staging name': [(s, r) => {
      writeFileSync(s.at(path(r, 'staging')), 'half', { mode: 0o600 });
    }, O.UNDONE] },
    ran: O.COMPLETED, redoable: false, content: SETTINGS },
].map((row) => ({ midway: {}, notRun: O.NOTHING_TO_DO, ran: O.UNDONE, redoable: true, content: null, ...row }));

async function prepared(row) {
  const s = await scratch([...BASE_TREE, ...row.tree]);
  const record = await row.prepare(helper, s);
  return { s, record, journal: await anchorfs.Journal.open(helper, s.root) };
}

const eachRow = (t, rows, body) => rows.reduce((p, row) => p.then(() => t.test(row.name, () => body(row))),
  Promise.resolve());

test('records round-trip through the published form', { skip }, (t) => eachRow(t, ROWS, async (row) => {
  const { record } = await prepared(row);
  const data = anchorfs.encodeRecord(record);
  assert.deepEqual(anchorfs.decodeRecord(data), record);
  assert.ok(anchorfs.encodeRecord(anchorfs.decodeRecord(data)).equals(data));
  assert.ok(data.toString().startsWith(`{"version":1,"operation":"${row.name}",`));
  assert.ok(data.toString().endsWith('}\n') && data.toString().split('\n').length === 2);
}));

test('a journalled run leaves its effect and an empty journal', { skip }, (t) => eachRow(t, ROWS, async (row) => {
  const { s, record, journal } = await prepared(row);
  const made = await journal.run(record, row.content);
  // A staged create resolves to the new file's description, the other operations to nothing.
  assert.deepEqual(made, row.content ? await s.describe(path(record, 'final')) : undefined);
  assert.ok(row.after(s));
  assert.deepEqual(journalNames(s), []);
  assert.equal(lstatSync(s.at(anchorfs.JOURNAL_DIRECTORY)).mode & 0o7777, 0o700);
}));

test('settle after a crash at each step says what it did', { skip }, (t) => eachRow(t, ROWS, async (row) => {
  const states = {
    'record written, operation not run': [() => {}, row.notRun],
    'operation ran, record not removed': [(_s, r) => anchorfs.runRecord(helper, r, row.content), row.ran],
    ...row.midway,
  };
  for (const [state, [crash, outcome]] of Object.entries(states)) {
    const { s, record, journal } = await prepared(row);
    await journal.write(record);
    await crash(s, record);
    const [settled, ...more] = await anchorfs.settleAll(journal);
    assert.deepEqual([state, settled.outcome, more.length], [state, outcome, 0], settled.problem);
    assert.ok(holds(outcome === O.COMPLETED ? row.after : row.before, s), state);
    assert.deepEqual(journalNames(s), []);
    // Settling again finds the tree settled.
    assert.equal((await anchorfs.settle(helper, record)).outcome,
      outcome === O.COMPLETED ? O.COMPLETED : O.NOTHING_TO_DO);
  }
}));

test('settle with redo runs an undone operation again', { skip }, (t) => eachRow(t, ROWS.filter((r) => r.redoable),
  async (row) => {
    const { s, record, journal } = await prepared(row);
    await journal.write(record);
    await anchorfs.runRecord(helper, record);
    const [settled] = await anchorfs.settleAll(journal, { redo: true });
    assert.deepEqual([settled.outcome, settled.redone], [O.COMPLETED, true], settled.problem);
    assert.ok(row.after(s));
    assert.deepEqual(journalNames(s), []);
  }));

test('a record the tree contradicts needs attention and stays', { skip }, (t) => eachRow(t, ROWS, async (row) => {
  const { s, record, journal } = await prepared(row);
  const written = await journal.write(record);
  const role = ['b', 'source', 'final'].find((r) => r in record.names);
  if (s.exists(path(record, role))) unlinkSync(s.at(path(record, role)));
  writeFileSync(s.at(path(record, role)), "someone else's", { mode: 0o600 });
  const [settled] = await anchorfs.settleAll(journal);
  assert.equal(settled.outcome, O.NEEDS_ATTENTION);
  assert.ok(settled.problem);
  assert.deepEqual(journalNames(s), [written.path.split('/').pop()]);
}));

test('a failure that left the tree as before, or refused content, leaves no record', { skip }, async () => {
  let { s, record, journal } = await prepared(ROWS[0]);
  symlinkSync('a', s.at('d/b')); // the destination is taken
  await assert.rejects(journal.run(record), { code: 'EEXIST' });
  assert.deepEqual(journalNames(s), []);
  ({ s, record, journal } = await prepared(ROWS[4]));
  await assert.rejects(journal.run(record, Buffer.from('other content')), RangeError);
  assert.deepEqual(journalNames(s), []);
  // A staged create whose final name is another file's: the failure is the outcome, nothing is left to settle.
  writeFileSync(s.at('p/settings'), 'theme=light\n', { mode: 0o600 });
  await assert.rejects(journal.run(record, SETTINGS), { code: 'EEXIST' });
  assert.deepEqual([journalNames(s), text(s, 'p/settings'), stagingGone(s)], [[], 'theme=light\n', true]);
});

const MUTATIONS = {
  'cut short': (d) => d.subarray(0, d.length >> 1),
  empty: () => Buffer.alloc(0),
  'number as a JSON number': (d) => replace(d, '"size":"1"', '"size":1'),
  'unknown key': (d) => replace(d, '{"version":1,', '{"version":1,"extra":"1",'),
  'a key given twice': (d) => replace(d, '{"version":1,', '{"version":1,"version":1,'),
  'another version': (d) => replace(d, '"version":1', '"version":2'),
  'number beyond 64 bits': (d) => replace(d, '"link_count":"1"', '"link_count":"18446744073709551616"'),
  'leading zero': (d) => replace(d, '"link_count":"1"', '"link_count":"01"'),
  'not UTF-8': (d) => Buffer.concat([d.subarray(0, d.length - 3), Buffer.from([0xff]), Buffer.from('}\n')]),
  'a quarantine name of another form': (d) => replace(d, '.vor-native-quarantine-', '.xyz-native-quarantine-'),
  'a path with a lone surrogate': (d) => replace(d, '"path":"a"', '"path":"a\\udc80"'),
};
const replace = (d, from, to) => Buffer.from(d.toString('latin1').replace(from, to), 'latin1');

test('a torn or foreign record is reported and never acted on', { skip }, async (t) => {
  for (const [label, mutate] of Object.entries(MUTATIONS)) {
    await t.test(label, async () => {
      const { s, record, journal } = await prepared(ROWS[3]); // an unlink: settling it would delete the file
      const good = anchorfs.encodeRecord(record);
      const broken = mutate(good);
      assert.ok(!broken.equals(good));
      assert.throws(() => anchorfs.decodeRecord(broken), anchorfs.RecordError);
      const name = `${anchorfs.JOURNAL_DIRECTORY}/unlink-checked.${'0'.repeat(32)}.json`;
      writeFileSync(s.at(name), broken, { mode: 0o600 });
      const [settled] = await anchorfs.settleAll(journal);
      assert.deepEqual([settled.outcome, settled.record], [O.NEEDS_ATTENTION, null]);
      assert.match(settled.problem, /record/);
      assert.equal(text(s, 'a'), 'A');
      const [entry] = await journal.entries();
      await journal.discard(entry);
      assert.deepEqual(journalNames(s), []);
    });
  }
});

// The Python client, run with no environment: writes (and runs) a record of one row, or settles a journal.
const PYTHON_SIDE = fileURLToPath(new URL('../python/journal_other_client.py', import.meta.url));

function python(s, args) {
  const run = spawnSync(PYTHON, ['-B', PYTHON_SIDE, PYTHON_PACKAGE, BINARY, s.path, ...args], { env: {} });
  assert.equal(run.status, 0, run.stderr.toString());
  return run.stdout;
}

// For every row, an operation that ran and one that did not; the two clients also write the same bytes for
// the same record.
test('a record of either client is settled by the other', { skip }, (t) => eachRow(t, ROWS, async (row) => {
  for (const ran of [false, true]) {
    const expected = ran ? row.ran : row.notRun;
    const state = (s) => (expected === O.COMPLETED ? row.after : row.before)(s);

    // Written by Python, settled here.
    let s = await scratch([...BASE_TREE, ...row.tree]);
    const content = row.content ? ["b'theme=dark\\n'"] : [];
    const written = python(s, [ran ? 'write-and-run' : 'write', row.python, ...content]);
    assert.ok(anchorfs.encodeRecord(anchorfs.decodeRecord(written)).equals(written));
    const [settled, ...more] = await anchorfs.settleAll(await anchorfs.Journal.open(helper, s.root));
    assert.deepEqual([ran, settled.outcome, more.length], [ran, expected, 0], settled.problem);
    assert.ok(state(s));
    assert.deepEqual(journalNames(s), []);

    // Written here, settled by Python.
    let record;
    let journal;
    ({ s, record, journal } = await prepared(row));
    await journal.write(record);
    if (ran) await anchorfs.runRecord(helper, record, row.content);
    assert.equal(python(s, ['settle']).toString(), `${expected}\n`);
    assert.ok(state(s));
    assert.deepEqual(journalNames(s), []);
  }
}));

// A program that runs one record through a journal; the test kills it as a helper run of it starts or ends.
const CHILD = `
import { readFileSync } from 'node:fs';
import * as anchorfs from ${JSON.stringify(new URL('../../node/index.js', import.meta.url).href)};
const [wrapper, payload] = process.argv.slice(1);
const record = anchorfs.decodeRecord(readFileSync(payload));
const content = record.content ? readFileSync(payload + '.content') : null;
await new anchorfs.Journal(new anchorfs.Helper(wrapper), record.root).run(record, content);
`;

// The application killed (SIGKILL) as each helper run of a journalled operation starts, or as it ends: the
// record is there whenever the operation may have run, and settling from the journal then leaves the tree
// before or after the operation, never between.
test('every row killed at every helper run settles before or after', { skip }, (t) => eachRow(t, ROWS, async (row) => {
  for (const killAt of [1, 2, 3]) { // create-private-file, the operation, the removal
    for (const after of [false, true]) {
      const { s, record, journal } = await prepared(row);
      const work = mkdtempSync(join(s.path, '..', 'work-'));
      const run = `${BINARY} "$@"`;
      writeFileSync(join(work, 'count'), '0');
      writeFileSync(join(work, 'anchorfs-killing'), `#!/bin/sh
n=$(($(/bin/cat ${work}/count) + 1))
echo $n > ${work}/count
if [ $n -eq ${killAt} ]; then ${after ? `${run}; s=$?; kill -9 $PPID; exit $s` : 'kill -9 $PPID; exit 1'}; fi
exec ${run}
`);
      chmodSync(join(work, 'anchorfs-killing'), 0o700);
      writeFileSync(join(work, 'record'), anchorfs.encodeRecord(record));
      writeFileSync(join(work, 'record.content'), row.content ?? '');
      const child = spawnSync(process.execPath, ['--input-type=module', '-e', CHILD, join(work, 'anchorfs-killing'),
        join(work, 'record')]);
      const where = `run ${killAt} ${after ? 'end' : 'start'}`;
      assert.equal(child.signal, 'SIGKILL', `${where}: ${child.stderr}`);
      // The record is on disk from the end of its own write until the removal has run.
      const recorded = (killAt === 1 && !after) || (killAt === 3 && after) ? 0 : 1;
      assert.equal(journalNames(s).length, recorded, where);
      for (const settled of await anchorfs.settleAll(journal)) {
        assert.notEqual(settled.outcome, O.NEEDS_ATTENTION, `${where}: ${settled.problem}`);
      }
      assert.deepEqual(journalNames(s), [], where);
      assert.ok(holds(row.before, s) || holds(row.after, s), where);
    }
  }
}));
