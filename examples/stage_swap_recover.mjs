#!/usr/bin/env node
// A small parent application on the anchorfs Node client:
//
//   1. keeps its settings in a private store, written with create-private-file-staged so that the final name
//      never holds half a file;
//   2. replaces a document by a new version with rename-swap;
//   3. deletes the old version with the steps of unlink-checked and, when that is interrupted after its first
//      step (here: done by hand, as a crash would leave it), settles it with recover-unlink from bookmarks
//      taken before the mutation.
//
// Usage: stage_swap_recover.mjs [HELPER [WORK_DIR]]
// Without HELPER the program installed beside the package (or on PATH) is used; without WORK_DIR it works in
// a fresh directory below /tmp and removes it. ANCHORFS_PACKAGE names the package to import (default: the one
// in the source tree).

import { existsSync, lstatSync, mkdirSync, mkdtempSync, renameSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import process, { argv, env, exit } from 'node:process';

const anchorfs = await import(env.ANCHORFS_PACKAGE ?? new URL('../node/index.js', import.meta.url).href);

const report = (what) => console.log(`${what.padEnd(28)} ok`);
const present = (path) => existsSync(path) || (() => { try { return !!lstatSync(path); } catch { return false; } })();

async function runExample(helper, work) {
  const rootPath = join(work, 'root');
  mkdirSync(rootPath, 0o755);
  const root = await anchorfs.anchorRoot(rootPath);

  // 1. Settings in the private store, staged.
  await helper.ensurePrivateDir(root, 'store');
  report('ensure-private-dir store');
  const settings = Buffer.from('{"theme":"dark"}\n');
  await helper.createPrivateFileStaged(root, 'store/settings.json', 'store/.settings.json.staging', settings);
  report('create-private-file-staged');
  if (!(await helper.readPrivateFile(root, 'store/settings.json', 4096n)).equals(settings)) {
    throw new Error('read-private-file returned other content');
  }
  report('read-private-file');

  // 2. A document replaced by its new version in one atomic swap.
  await helper.ensureDir(root, 'documents');
  await helper.createFile(root, 'documents/report.txt', 0o644, Buffer.from('draft 1\n'));
  await helper.createFile(root, 'documents/report.txt.new', 0o644, Buffer.from('draft 2\n'));
  report('create-file report.txt(.new)');
  const oldVersion = await anchorfs.describeFile(join(rootPath, 'documents/report.txt'));
  const newVersion = await anchorfs.describeFile(join(rootPath, 'documents/report.txt.new'));
  await helper.renameSwap(root, 'documents/report.txt.new', 'documents/report.txt', newVersion.identity,
    oldVersion.identity);
  report('rename-swap');

  // 3. The old version, now under report.txt.new, is deleted through a staging name and a durable quarantine
  // name. Before anything is moved, the application bookmarks every directory involved and keeps the
  // bookmarks with its record of the operation.
  await helper.ensureDir(root, 'documents/.trash');
  const source = 'documents/report.txt.new';
  const staging = 'documents/.trash/report.txt.staging';
  const quarantine = `documents/.trash/${anchorfs.newQuarantineLeaf()}`;
  const record = { file: oldVersion };
  for (const [name, path] of [['source', source], ['staging', staging], ['quarantine', quarantine]]) {
    record[name] = anchorfs.bookmarkedParent(await helper.bookmarkParent(root, path), path);
  }
  report('bookmark-parent (3 names)');

  // The run that would have done this is interrupted right after its first step, the exclusive move to the
  // staging name. Here the move is made by hand, leaving the tree exactly as such a crash leaves it.
  renameSync(join(rootPath, source), join(rootPath, staging));
  console.log(`${'unlink-checked'.padEnd(28)} (simulated crash after the move to staging)`);

  // After the restart: settle it. A second run finds nothing left to do.
  for (const again of ['', ' (again)']) {
    await helper.recoverUnlink(root, record.source, record.staging, record.quarantine, record.file);
    report(`recover-unlink${again}`);
  }

  for (const gone of [source, staging, quarantine]) {
    if (present(join(rootPath, gone))) throw new Error(`still present: ${gone}`);
  }
  const current = await anchorfs.describeFile(join(rootPath, 'documents/report.txt'));
  if (current.sha256 !== newVersion.sha256) throw new Error('report.txt does not hold draft 2');
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
