// Compiled only, never run: the declarations accept what the documentation says and refuse the classic
// mistakes.
import { Writable } from 'node:stream';
import * as anchorfs from '../../node/index.js';

export async function use(helper: anchorfs.Helper): Promise<bigint> {
  const root = await anchorfs.anchorRoot('/srv');
  const directory: anchorfs.DirectoryIdentity = await helper.ensureDir(root, 'd', { timeout: 1000 });
  const file = await anchorfs.describeFile('/srv/d/f');
  const mtime: bigint = file.mtimeNs;
  await helper.createFile(root, 'd/g', 0o644, Buffer.from('x'), { signal: AbortSignal.timeout(1000) });
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
