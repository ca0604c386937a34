// Compiled only, never run: the declarations accept what the documentation says and refuse the classic
// mistakes.
import { Writable } from 'node:stream';
import * as anchorfs from '../../node/index.js';

export async function use(helper: anchorfs.Helper): Promise<bigint> {
  const root = await anchorfs.anchorRoot('/srv');
  const directory: anchorfs.DirectoryIdentity = await helper.ensureDir(root, 'd', { timeout: 1000 });
  const file = await anchorfs.describeFile('/srv/d/f');
  const mtime: bigint = file.mtimeNs;
  const made: anchorfs.FileDescriptionResult = await helper.createFile(root, 'd/g', 0o644, Buffer.from('x'),
    { signal: AbortSignal.timeout(1000) });
  await helper.removePrivateFile(root, 'p/g', await helper.createPrivateFile(root, 'p/g', Buffer.from('y')),
    { timeout: 1000 });
  await helper.removePrivateFile(root, 'p/g', made.size, made.sha256);
  // @ts-expect-error: a description carries its digest already
  await helper.removePrivateFile(root, 'p/g', made, made.sha256);
  await helper.unlinkChecked(root, 'd/f', 'd/s', 'd/' + anchorfs.newQuarantineLeaf(), file);
  const group = anchorfs.bookmarkedParent(await helper.bookmarkParent(root, 'd/f'), 'd/f');
  await helper.recoverRename(root, group, group, file);
  const content: Buffer = await helper.readExternalFile(root, 'd/f', directory, 100n);
  try {
    await helper.removePrivateTree(root, 'p', 16);
  } catch (error) {
    if (error instanceof anchorfs.HelperError) console.log(error.reason, error.exitStatus, error.signal);
    else if (error instanceof anchorfs.AnchorfsError) console.log(error.code, error.errno, error.paths);
  }
  // @ts-expect-error: a string is not a number
  await helper.createFile(root, 'd/h', '644', content);
  // @ts-expect-error: a stream needs its size
  await helper.createPrivateFile(root, 'p/f', { stream: new Writable() });
  return mtime + (await helper.readPrivateFileInto(root, 'p/f', new Writable()));
}

export async function journalled(helper: anchorfs.Helper): Promise<string[]> {
  const root = await anchorfs.anchorRoot('/srv');
  const journal = await anchorfs.Journal.open(helper, root);
  const record = await anchorfs.prepareUnlinkChecked(helper, root, 'd/f', await anchorfs.describeFile('/srv/d/f'),
    { scratch: 'd' });
  const quarantine: string = record.names.quarantine.path;
  await journal.run(record);
  const staged: bigint = (await journal.run(anchorfs.prepareCreatePrivateFileStaged(root, 'p/s', Buffer.from('x')),
    Buffer.from('x'))).mtimeNs;
  // @ts-expect-error: another operation may resolve to nothing
  console.log((await journal.run(record)).sha256, staged);
  const decoded = anchorfs.decodeRecord(anchorfs.encodeRecord(record));
  if (decoded.operation === 'rename-swap') console.log(decoded.files.file2.sha256);
  const settled = await anchorfs.settleAll(journal, { redo: true });
  for (const s of settled) {
    if (s.outcome === anchorfs.Outcome.NEEDS_ATTENTION && s.record === null) {
      const [entry] = (await journal.entries()).filter((e) => e.path === s.path);
      await journal.discard(entry);
    }
    // @ts-expect-error: an outcome is one of four words
    if (s.outcome === 'done') console.log(s.error?.code);
  }
  // @ts-expect-error: a staged create's content is bytes
  anchorfs.prepareCreatePrivateFileStaged(root, 'p/s', 'x');
  // @ts-expect-error: a record whose operation has no content has none
  console.log(record.content.size);
  return [quarantine, ...settled.map((s) => s.problem)];
}
