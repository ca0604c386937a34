#!/usr/bin/env node
// A small parent application on the anchorfs Node client, its bookkeeping done by operation records kept in
// a journal below the root:
//
//   1. at start-up settles whatever a crash left in the journal;
//   2. keeps its settings in a private store, written with create-private-file-staged so that the final name
//      never holds half a file;
//   3. replaces a document by a new version with rename-swap;
//   4. deletes the old version with unlink-checked. Its record is written to the journal first; the run is
//      then interrupted after its first step (here: done by hand, as a crash would leave it), and the next
//      start-up settles the record from the journal alone.
//
// Usage: stage_swap_recover.mjs [HELPER [WORK_DIR]]
// Without HELPER the program installed beside the package (or on PATH) is used; without WORK_DIR it works in
// a fresh directory below /tmp and removes it. ANCHORFS_PACKAGE names the package to import (default: the one
// in the source tree).

import { existsSync, lstatSync, mkdirSync, mkdtempSync, renameSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import process, { argv, env, exit } from 'node:process';

const anchorfs = await import(env.ANCHORFS_PACKAGE ?? new URL('../node/index.js', import.meta.url).href);

const report = (what, outcome = 'ok') => console.log(`${what.padEnd(28)} ${outcome}`);
const present = (path) => existsSync(path) || (() => { try { return !!lstatSync(path); } catch { return false; } })();

// What the application does at every start: settle each record a crash left, and say what became of it.
async function startUp(helper, root) {
  const journal = await anchorfs.Journal.open(helper, root);
  const settled = await anchorfs.settleAll(journal);
  for (const s of settled) {
    report(`settled ${s.record?.operation ?? s.path}`, s.outcome);
    if (s.outcome === anchorfs.Outcome.NEEDS_ATTENTION) throw new Error(`${s.path}: ${s.problem}`);
  }
  if (settled.length === 0) report('start-up', 'journal empty');
  return journal;
}

async function runExample(helper, work) {
  const rootPath = join(work, 'root');
  mkdirSync(rootPath, 0o755);
  const root = await anchorfs.anchorRoot(rootPath);
  const describe = (relative) => anchorfs.describeFile(join(rootPath, relative));
  const journal = await startUp(helper, root);

  // 2. Settings in the private store, staged; the record names the staging file a crash could leave.
  await helper.ensurePrivateDir(root, 'store');
  const settings = Buffer.from('{"theme":"dark"}\n');
  await journal.run(anchorfs.prepareCreatePrivateFileStaged(root, 'store/settings.json', settings), settings);
  report('create-private-file-staged');
  if (!(await helper.readPrivateFile(root, 'store/settings.json', 4096n)).equals(settings)) {
    throw new Error('read-private-file returned other content');
  }
  report('read-private-file');

  // 3. A document replaced by its new version in one atomic swap.
  await helper.ensureDir(root, 'documents');
  // Each create resolves to the new file's description: nothing written is read back to hash it.
  const oldVersion = await helper.createFile(root, 'documents/report.txt', 0o644, Buffer.from('draft 1\n'));
  const newVersion = await helper.createFile(root, 'documents/report.txt.new', 0o644, Buffer.from('draft 2\n'));
  report('create-file report.txt(.new)');
  await journal.run(await anchorfs.prepareRenameSwap(helper, root, 'documents/report.txt.new', 'documents/report.txt',
    newVersion, oldVersion));
  report('rename-swap');

  // 4. The old version, now under report.txt.new, is deleted through a staging name and a durable quarantine
  // name in documents/.trash. Preparing the record bookmarks every directory involved; writing it to the
  // journal makes it durable before anything is moved.
  await helper.ensureDir(root, 'documents/.trash');
  const record = await anchorfs.prepareUnlinkChecked(helper, root, 'documents/report.txt.new', oldVersion,
    { scratch: 'documents/.trash' });
  await journal.write(record);
  report('journal: unlink-checked');

  // The run that would have done this is interrupted right after its first step, the exclusive move to the
  // staging name. Here the move is made by hand, leaving the tree exactly as such a crash leaves it.
  const { source, staging, quarantine } = record.names;
  renameSync(join(rootPath, source.path), join(rootPath, staging.path));
  report('unlink-checked', '(simulated crash after the move to staging)');

  // The restart: settling finishes the delete (recovering an unlink completes it). A second start-up finds
  // the journal empty.
  await startUp(helper, root);
  await startUp(helper, root);

  for (const gone of [source, staging, quarantine]) {
    if (present(join(rootPath, gone.path))) throw new Error(`still present: ${gone.path}`);
  }
  if ((await describe('documents/report.txt')).sha256 !== newVersion.sha256) {
    throw new Error('report.txt does not hold draft 2');
  }
  console.log('done: report.txt holds draft 2, draft 1 is deleted, settings are private');
}

if (argv.length > 4) {
  console.error(`usage: ${argv[1]} [HELPER [WORK_DIR]]`);
  exit(2);
}
const helper = new anchorfs.Helper(argv[2] ?? null, { timeout: 60000 });
const work = argv[3] ?? mkdtempSync('/tmp/anchorfs-example-');
try {
  await runExample(helper, work);
} catch (error) {
  if (!(error instanceof anchorfs.AnchorfsError)) throw error;
  console.log(`failed: ${error.message}`);
  process.exitCode = 1;
} finally {
  if (argv.length <= 3) rmSync(work, { recursive: true, force: true });
}
