// The journal that keeps operation records durably, running a record, and settling one after a crash.
//
// A journal keeps records in a private directory below the root: a record is on disk, content and name
// flushed, before its operation starts, and is removed once the outcome is known. After a crash,
// settleAll(journal) runs the matching recover command for every record left and says what happened in words
// a caller can branch on.

import { createHash, randomBytes } from 'node:crypto';
import { closeSync, constants as fsConstants, fstatSync } from 'node:fs';
import { readdir } from 'node:fs/promises';
import { constants } from 'node:os';
import { AnchorfsError, HelperError } from './errors.js';
import { descriptorPath, openBelow, statusBelow } from './files.js';
import { Operation, RecordError, contentDigest, decodeRecord, encodeRecord } from './operation_record.js';
import { bookmarkedParent } from './records.js';

export const JOURNAL_DIRECTORY = '.anchorfs-journal';
export const RECORD_SUFFIX = '.json';
// Four bookmarks of 131072 hexadecimal digits and the rest fit easily.
export const MAX_RECORD_SIZE = 1n << 20n;

/** What settling a record found and did. */
export const Outcome = Object.freeze({
  COMPLETED: 'completed', // the operation's effect is in place (had finished, or was finished now)
  UNDONE: 'undone', // the operation had taken effect and was reversed: the tree is as before
  NOTHING_TO_DO: 'nothing to do', // the operation had not taken effect: the tree is as before, unchanged
  NEEDS_ATTENTION: 'needs attention', // the recover command failed, or the record cannot be believed
});

const { O_RDONLY } = fsConstants;

function systemError(code, message, path) {
  return Object.assign(new Error(`${code}: ${message}, ${JSON.stringify(path)}`),
    { code, errno: -(constants.errno[code] ?? 0), path });
}

/**
 * The status of the entry at `path` now, looked up one name at a time from the root without following a
 * link; null when there is none or it cannot be reached. Only chooses the word a settlement reports and
 * whether a record is kept; never acted on.
 */
function lookup(root, path) {
  try {
    return statusBelow(root, path);
  } catch {
    return null;
  }
}

/** Whether `path` names the described file (its device and inode) now. */
async function holds(root, path, file) {
  const status = lookup(root, path);
  return status !== null && status.dev === BigInt(file.identity.device) && status.ino === BigInt(file.identity.inode);
}

async function holdsAny(root, names, roles, file) {
  for (const role of roles) {
    if (await holds(root, names[role].path, file)) return true;
  }
  return false;
}

function checkContent(record, content) {
  if (record.content === null) {
    if (content !== null && content !== undefined) throw new RangeError(`${record.operation} takes no content`);
    return;
  }
  const given = content instanceof Uint8Array ? contentDigest(content) : null;
  if (given === null || given.size !== BigInt(record.content.size) || given.sha256 !== record.content.sha256) {
    throw new RangeError('the content does not match the record');
  }
}

/** Runs the record's operation; rejects as the helper method does. A staged create needs its `content` (a
 * RangeError when it does not match the record) and resolves to the new file's description; the other
 * operations resolve to undefined. */
export async function runRecord(helper, record, content = null) {
  const { names: n, files: f, root } = record;
  switch (record.operation) {
    case Operation.RENAME_EXCL:
      await helper.renameExcl(root, n.source.path, n.destination.path, f.file.identity);
      return undefined;
    case Operation.RENAME_SWAP:
      await helper.renameSwap(root, n.a.path, n.b.path, f.file1.identity, f.file2.identity);
      return undefined;
    case Operation.LINK_EXCL:
      await helper.linkExcl(root, n.source.path, n.destination.path, n.staging.path, n.quarantine.path, f.file);
      return undefined;
    case Operation.UNLINK_CHECKED:
      await helper.unlinkChecked(root, n.source.path, n.staging.path, n.quarantine.path, f.file);
      return undefined;
    case Operation.CREATE_PRIVATE_FILE_STAGED:
      checkContent(record, content);
      return helper.createPrivateFileStaged(root, n.final.path, n.staging.path, content);
    default:
      throw new RecordError(`unknown operation ${JSON.stringify(record.operation)}`);
  }
}

function settlement(outcome, record, { error = null, problem = '', redone = false, path = '' } = {}) {
  return Object.freeze({ outcome, record, error, problem, redone, path });
}

const group = (name) => bookmarkedParent(name.parent, name.path);

async function effectInPlace(record) {
  const { names: n, files: f, root } = record;
  switch (record.operation) {
    case Operation.RENAME_EXCL: return holds(root, n.destination.path, f.file);
    case Operation.RENAME_SWAP: return holds(root, n.a.path, f.file2);
    case Operation.LINK_EXCL: return holdsAny(root, n, ['destination', 'staging', 'quarantine'], f.file);
    default: return false;
  }
}

/**
 * Runs the recover command of `record` and says what happened. Recovering a rename, swap or link undoes it
 * (UNDONE when it had taken effect, else NOTHING_TO_DO); with `redo` the operation is then run again (the
 * tree being as before it, whether undone or never run), giving COMPLETED or NEEDS_ATTENTION. Recovering an
 * unlink finishes it (COMPLETED). A staged create's leftover staging file is removed; COMPLETED when the
 * final name holds the recorded content. A failure gives NEEDS_ATTENTION with the error.
 */
export async function settle(helper, record, { redo = false } = {}) {
  const { names: n, files: f, root } = record;
  let hadEffect = false;
  try {
    if (record.operation === Operation.UNLINK_CHECKED) {
      await helper.recoverUnlink(root, group(n.source), group(n.staging), group(n.quarantine), f.file);
      return settlement(Outcome.COMPLETED, record);
    }
    if (record.operation === Operation.CREATE_PRIVATE_FILE_STAGED) {
      const leftover = lookup(root, n.staging.path) !== null;
      await helper.removePrivateStagingFile(root, n.staging.path, record.content.size);
      let data;
      try {
        data = await helper.readPrivateFile(root, n.final.path, record.content.size);
      } catch (error) {
        if (!(error instanceof AnchorfsError) || error.code !== 'ENOENT') throw error;
        return settlement(leftover ? Outcome.UNDONE : Outcome.NOTHING_TO_DO, record);
      }
      if (createHash('sha256').update(data).digest('hex') !== record.content.sha256) {
        return settlement(Outcome.NEEDS_ATTENTION, record, { problem: 'the final name holds other content' });
      }
      return settlement(Outcome.COMPLETED, record);
    }
    hadEffect = await effectInPlace(record);
    switch (record.operation) {
      case Operation.RENAME_EXCL:
        await helper.recoverRename(root, group(n.source), group(n.destination), f.file);
        break;
      case Operation.RENAME_SWAP:
        await helper.recoverSwap(root, group(n.a), group(n.b), f.file1, f.file2);
        break;
      case Operation.LINK_EXCL:
        await helper.recoverLink(root, group(n.source), group(n.destination), group(n.staging), group(n.quarantine),
          f.file);
        break;
      default:
        throw new RecordError(`unknown operation ${JSON.stringify(record.operation)}`);
    }
  } catch (error) {
    if (!(error instanceof AnchorfsError)) throw error;
    return settlement(Outcome.NEEDS_ATTENTION, record, { error, problem: error.message });
  }
  const outcome = hadEffect ? Outcome.UNDONE : Outcome.NOTHING_TO_DO;
  if (!redo) return settlement(outcome, record);
  try {
    await runRecord(helper, record);
  } catch (error) {
    if (!(error instanceof AnchorfsError)) throw error;
    return settlement(Outcome.NEEDS_ATTENTION, record, { error, problem: `redo: ${error.message}`, redone: true });
  }
  return settlement(Outcome.COMPLETED, record, { redone: true });
}

// After a failure line: whether the tree clearly shows the state from before the operation, so that the
// record has nothing left to settle.
async function asBefore(record) {
  const { names: n, files: f, root } = record;
  switch (record.operation) {
    case Operation.RENAME_EXCL:
      return (await holds(root, n.source.path, f.file)) && !(await holds(root, n.destination.path, f.file));
    case Operation.RENAME_SWAP:
      return (await holds(root, n.a.path, f.file1)) && (await holds(root, n.b.path, f.file2));
    case Operation.LINK_EXCL:
      return !(await holdsAny(root, n, ['destination', 'staging', 'quarantine'], f.file));
    case Operation.UNLINK_CHECKED:
      return (await holds(root, n.source.path, f.file))
        && !(await holdsAny(root, n, ['staging', 'quarantine'], f.file));
    default:
      return false;
  }
}

const entry = (path, record, size = 0n, sha256 = '', problem = '') =>
  Object.freeze({ path, record, size, sha256, problem });

/**
 * Records kept in the private directory `directory` below `root` (made with ensure-private-dir by
 * Journal.open). Each record is written with create-private-file (owner-only, content and name flushed, no
 * link followed) before its operation starts, read back with read-private-file and removed with
 * remove-private-file once its outcome is known. A record that does not parse is reported, never acted on,
 * and stays until `discard` removes it.
 */
export class Journal {
  /** A journal whose directory exists already; Journal.open ensures it. */
  constructor(helper, root, directory = JOURNAL_DIRECTORY) {
    if (typeof directory !== 'string') throw new TypeError('the journal directory must be a string path');
    this.helper = helper;
    this.root = root;
    this.directory = directory;
  }

  /** The journal in `directory` below `root`, its private directory ensured (one helper run). */
  static async open(helper, root, directory = JOURNAL_DIRECTORY) {
    const journal = new Journal(helper, root, directory);
    await helper.ensurePrivateDir(root, journal.directory);
    return journal;
  }

  async write(record) {
    const data = encodeRecord(record);
    const path = `${this.directory}/${record.operation}.${randomBytes(16).toString('hex')}${RECORD_SUFFIX}`;
    const made = await this.helper.createPrivateFile(this.root, path, data);
    return entry(path, record, made.size, made.sha256);
  }

  async remove(item) {
    await this.helper.removePrivateFile(this.root, item.path, item);
  }

  async #names() {
    const fd = openBelow(this.root, this.directory.split('/'), O_RDONLY);
    try {
      const status = fstatSync(fd, { bigint: true });
      if (status.uid !== BigInt(this.root.uid) || (status.mode & 0o7777n) !== 0o700n) {
        throw systemError('ESTALE', 'the journal is not a private directory', this.directory);
      }
      return (await readdir(descriptorPath(fd))).sort();
    } finally {
      closeSync(fd);
    }
  }

  /** Every record in the journal, read back, in the order of their names; torn or foreign ones with their
   * problem. Rejects with a system error (code ESTALE) when the root or the journal directory is not the
   * one anchored and private. */
  async entries() {
    const found = [];
    for (const name of await this.#names()) {
      const path = `${this.directory}/${name}`;
      if (!name.endsWith(RECORD_SUFFIX)) {
        found.push(entry(path, null, 0n, '', "not a record's name"));
        continue;
      }
      let data;
      try {
        data = await this.helper.readPrivateFile(this.root, path, MAX_RECORD_SIZE);
      } catch (error) {
        if (!(error instanceof AnchorfsError)) throw error;
        found.push(entry(path, null, 0n, '', `unreadable: ${error.message}`));
        continue;
      }
      const digest = createHash('sha256').update(data).digest('hex');
      try {
        found.push(entry(path, decodeRecord(data), BigInt(data.length), digest));
      } catch (error) {
        if (!(error instanceof RecordError)) throw error;
        found.push(entry(path, null, BigInt(data.length), digest, `torn or foreign record: ${error.message}`));
      }
    }
    return found;
  }

  /** Removes an entry whose bytes were read (a torn record included) while it still holds them. */
  async discard(item) {
    await this.remove(item);
  }

  /**
   * Writes the record, runs its operation and removes the record once the outcome is known; rejects as the
   * operation does, and resolves to what it resolves to (a staged create: the new file's description). The
   * record stays (for settle or settleAll) when the outcome is not known (a HelperError) or when after a
   * failure line the tree is not clearly back in its state from before. A failure to remove the record after
   * the operation succeeded rejects with that failure: the record stays, and settling it with `redo` restores
   * the operation's effect.
   */
  async run(record, content = null) {
    checkContent(record, content); // before the record is written: a refused call leaves none
    const written = await this.write(record);
    let made;
    try {
      made = await runRecord(this.helper, record, content);
    } catch (error) {
      if (error instanceof AnchorfsError && !(error instanceof HelperError)) {
        if (record.operation === Operation.CREATE_PRIVATE_FILE_STAGED) {
          if (error.code !== 'RACE_PRESERVED') await this.#stagedCreateFailed(written);
        } else if (await asBefore(record)) {
          // The operation's failure is the answer; a record that could not be removed is settled later.
          await this.remove(written).catch((removal) => { if (!(removal instanceof AnchorfsError)) throw removal; });
        }
      }
      throw error;
    }
    await this.remove(written);
    return made;
  }

  // A staged create's failure line other than RACE_PRESERVED says that the final name never held the file or
  // had it taken away again: the outcome is known, even where the final name is another file's (EEXIST), and
  // only a staging file the failure left is still to go. The record stays if that clean-up fails.
  async #stagedCreateFailed(item) {
    try {
      await this.helper.removePrivateStagingFile(this.root, item.record.names.staging.path, item.record.content.size);
      await this.remove(item);
    } catch (error) {
      if (!(error instanceof AnchorfsError)) throw error;
    }
  }

  /** Settles one entry and removes it unless the outcome is NEEDS_ATTENTION. */
  async settle(item, { redo = false } = {}) {
    if (item.record === null) {
      return settlement(Outcome.NEEDS_ATTENTION, null, { problem: item.problem, path: item.path });
    }
    const settled = await settle(this.helper, item.record, { redo });
    if (settled.outcome === Outcome.NEEDS_ATTENTION) {
      return settlement(settled.outcome, settled.record, { ...settled, path: item.path });
    }
    try {
      await this.remove(item);
    } catch (error) {
      if (!(error instanceof AnchorfsError)) throw error;
      return settlement(Outcome.NEEDS_ATTENTION, item.record, { error, redone: settled.redone, path: item.path,
        problem: `settled as ${settled.outcome}, record not removed: ${error.message}` });
    }
    return settlement(settled.outcome, item.record, { redone: settled.redone, path: item.path });
  }
}

/** Settles every record of the journal (application start-up), in the order of their names. */
export async function settleAll(journal, { redo = false } = {}) {
  const settled = [];
  for (const item of await journal.entries()) settled.push(await journal.settle(item, { redo }));
  return settled;
}
