// The helper and its twenty commands, one async method each.

import { accessSync, constants as fsConstants, statSync } from 'node:fs';
import { dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { contentOf } from './content.js';
import { HelperCancelled, HelperError, RacePreserved } from './errors.js';
import { statusBelow } from './files.js';
import { PROGRAM } from './location.js';
import { exchange } from './process.js';
import { MAX_CONTENT_SIZE } from './records.js';
import { Races, Shape, command, contentAllowance, interpret } from './result_line.js';

// The command table: name, success shape, race codes it can report.
const BOOKMARK_PARENT = command('bookmark-parent', Shape.BOOKMARK);
const RECOVER_UNLINK = command('recover-unlink');
const RECOVER_RENAME = command('recover-rename');
const RECOVER_SWAP = command('recover-swap');
const RECOVER_LINK = command('recover-link');
const RENAME_EXCL = command('rename-excl', Shape.PLAIN, Races.BOTH);
const LINK_EXCL = command('link-excl', Shape.PLAIN, Races.BOTH);
const RENAME_SWAP = command('rename-swap', Shape.PLAIN, Races.BOTH);
const UNLINK_CHECKED = command('unlink-checked', Shape.PLAIN, Races.BOTH);
const QUARANTINE_PRIVATE_TREE = command('quarantine-private-tree');
const REMOVE_PRIVATE_TREE = command('remove-private-tree');
const CREATE_PRIVATE_FILE_STAGED = command('create-private-file-staged', Shape.PLAIN, Races.PRESERVED_ONLY);
const REMOVE_PRIVATE_STAGING_FILE = command('remove-private-staging-file');
const READ_PRIVATE_FILE = command('read-private-file', Shape.SIZE);
const READ_EXTERNAL_FILE = command('read-external-file', Shape.SIZE);
const REMOVE_PRIVATE_FILE = command('remove-private-file');
const ENSURE_DIR = command('ensure-dir', Shape.DIRECTORY, Races.PRESERVED_ONLY);
const ENSURE_PRIVATE_DIR = command('ensure-private-dir', Shape.DIRECTORY, Races.PRESERVED_ONLY);
const CREATE_FILE = command('create-file', Shape.PLAIN, Races.BOTH);
const CREATE_PRIVATE_FILE = command('create-private-file', Shape.PLAIN, Races.BOTH);

const U64_END = 1n << 64n;
const ESTALE = 116;
const S_IFMT = 0o170000n;
const S_IFREG = 0o100000n;
const MAX_TIMEOUT_MS = 2 ** 31 - 1;

/** An unsigned 64-bit argument: a bigint, or a number that is a safe non-negative integer. */
function number(value) {
  if (typeof value === 'number' && Number.isSafeInteger(value)) value = BigInt(value);
  if (typeof value !== 'bigint') throw new TypeError(`expected a bigint, got ${typeof value} ${String(value)}`);
  if (value < 0n || value >= U64_END) throw new RangeError(`${value} is not an unsigned 64-bit number`);
  return value.toString();
}

function text(value) {
  if (typeof value !== 'string') throw new TypeError(`expected a string, got ${typeof value}`);
  if (value.includes('\0')) throw new RangeError('a NUL character cannot be passed as an argument');
  return value;
}

const identityArgs = (f) => [f.device, f.inode, f.linkCount, f.uid, f.mode].map(number);
const descriptionArgs = (f) => [...identityArgs(f.identity), number(f.size), number(f.mtimeNs), text(f.sha256)];
const parentArgs = (g) => [text(g.bookmark), number(g.device), number(g.inode), number(g.uid), text(g.directory),
  text(g.leaf)];
const groupPath = (g) => (g.directory === '.' ? g.leaf : `${g.directory}/${g.leaf}`);

function onPath(name) {
  for (const directory of (process.env.PATH ?? '').split(':')) {
    const candidate = resolve(directory || '.', name);
    try {
      accessSync(candidate, fsConstants.X_OK);
      if (statSync(candidate).isFile()) return candidate;
    } catch {
      // not here
    }
  }
  return null;
}

/** The program `cmake --install` put beside this package, if this is such an install and it is there. */
export function installedProgram() {
  if (PROGRAM === null) return null;
  const path = resolve(dirname(fileURLToPath(import.meta.url)), PROGRAM);
  try {
    accessSync(path, fsConstants.X_OK);
    return path;
  } catch {
    return null;
  }
}

function notFound(message) {
  return Object.assign(new Error(message), { code: 'ENOENT', errno: 2 });
}

// A sink that collects the content, and one that writes it into a Writable with its back-pressure.
function collector() {
  const chunks = [];
  return { chunks, write: (chunk) => { chunks.push(chunk); return true; }, wait: () => Promise.resolve() };
}

function writableSink(writable) {
  return {
    write: (chunk) => writable.write(chunk),
    wait: () => new Promise((resolveWait, rejectWait) => {
      if (writable.errored || writable.destroyed) {
        rejectWait(writable.errored ?? Object.assign(new Error('the sink is destroyed'), { code: 'EPIPE', errno: 32 }));
        return;
      }
      const done = (error) => {
        writable.off('drain', done); writable.off('error', done); writable.off('close', closed);
        if (error) rejectWait(error); else resolveWait();
      };
      const closed = () => done(Object.assign(new Error('the sink closed before the content was written'),
        { code: 'EPIPE', errno: 32 }));
      writable.on('drain', done); writable.on('error', done); writable.on('close', closed);
    }),
  };
}

export class Helper {
  /**
   * `binary` is the program's path (a bare name is looked up on PATH); without it the program installed
   * beside this package is used, else `anchorfs` on PATH. `timeout` (milliseconds) bounds each call that
   * gives none of its own.
   */
  constructor(binary = null, { timeout } = {}) {
    let path;
    if (binary !== null && binary !== undefined) {
      path = text(binary);
      if (!path.includes('/')) path = onPath(path) ?? path;
    } else {
      path = installedProgram() ?? onPath('anchorfs');
      if (path === null) throw notFound('the anchorfs program is neither installed beside the package nor on PATH');
    }
    if (!path.includes('/')) throw notFound(`${JSON.stringify(path)} is not on PATH`);
    this.binary = path;
    this.timeout = timeout;
  }

  async #run(cmd, root, args, paths, options, { content = null, sizeBound = 0n, sink = collector() } = {}) {
    const argv = [this.binary, cmd.name, text(root.path), number(root.device), number(root.inode),
      number(root.uid), ...args];
    if (content !== null) argv.push(number(content.size));
    const { timeout, signal } = options ?? {};
    const timeoutMs = timeout ?? this.timeout;
    // A timer above 2^31 - 1 ms would fire at once: such a timeout is refused, not shortened.
    if (timeoutMs !== undefined && timeoutMs !== null
        && !(typeof timeoutMs === 'number' && timeoutMs >= 0 && timeoutMs <= MAX_TIMEOUT_MS)) {
      throw new RangeError(`a timeout is 0 to ${MAX_TIMEOUT_MS} milliseconds, not ${String(timeoutMs)}`);
    }
    if (signal?.aborted) {
      // Nothing was started: a signal aborted before the call cancels it before the run.
      throw new HelperCancelled(cmd.name, 'cancelled', { paths });
    }
    let output;
    try {
      output = await exchange(argv, content?.chunks ?? null, { timeoutMs, signal },
        (head) => contentAllowance(cmd, head, sizeBound), sink);
    } catch (error) {
      if (error?.spawnError) {
        throw new HelperError(cmd.name, 'spawn_failed', { errno: error.errno, paths });
      }
      throw error;
    }
    return interpret(cmd, output, paths);
  }

  // Runs a create and describes the new file: its status taken after the run, its size and SHA-256 from the
  // bytes this client sent. Made, but should the name no longer show a regular file of that size, another
  // process changed it since: the new state stays, as RACE_PRESERVED (errno ESTALE) says.
  async #create(cmd, root, args, paths, path, data, options) {
    const content = await contentOf(data);
    await this.#run(cmd, root, args, paths, options, { content });
    let status;
    try {
      status = statusBelow(root, path);
    } catch (error) {
      if (typeof error?.code !== 'string') throw error;
      status = null; // the name cannot be reached as it was: not the file made
    }
    if (status === null || (status.mode & S_IFMT) !== S_IFREG || status.size !== BigInt(content.sent)) {
      throw new RacePreserved(cmd.name, 'RACE_PRESERVED', ESTALE, paths);
    }
    return Object.freeze({
      identity: Object.freeze({ device: status.dev, inode: status.ino, linkCount: status.nlink, uid: status.uid,
        mode: status.mode }),
      size: status.size, mtimeNs: status.mtimeNs, sha256: content.digest.digest('hex'),
    });
  }

  async #read(cmd, root, args, paths, maxSize, sink, options) {
    if (sink) return this.#run(cmd, root, args, paths, options, { sizeBound: BigInt(maxSize), sink: writableSink(sink) });
    const collected = collector();
    await this.#run(cmd, root, args, paths, options, { sizeBound: BigInt(maxSize), sink: collected });
    return Buffer.concat(collected.chunks);
  }

  // -- bookmarks and recovery ----------------------------------------------------------------------------

  async bookmarkParent(root, path, options) {
    return this.#run(BOOKMARK_PARENT, root, [text(path)], [path], options);
  }

  async recoverUnlink(root, source, staging, quarantine, file, options) {
    await this.#run(RECOVER_UNLINK, root, [...parentArgs(source), ...parentArgs(staging), ...parentArgs(quarantine),
      ...descriptionArgs(file)], [source, staging, quarantine].map(groupPath), options);
  }

  async recoverRename(root, source, destination, file, options) {
    await this.#run(RECOVER_RENAME, root, [...parentArgs(source), ...parentArgs(destination),
      ...descriptionArgs(file)], [source, destination].map(groupPath), options);
  }

  async recoverSwap(root, a, b, file1, file2, options) {
    await this.#run(RECOVER_SWAP, root, [...parentArgs(a), ...parentArgs(b), ...descriptionArgs(file1),
      ...descriptionArgs(file2)], [a, b].map(groupPath), options);
  }

  async recoverLink(root, source, destination, staging, quarantine, file, options) {
    const groups = [source, destination, staging, quarantine];
    await this.#run(RECOVER_LINK, root, [...groups.flatMap(parentArgs), ...descriptionArgs(file)],
      groups.map(groupPath), options);
  }

  // -- checked mutations ---------------------------------------------------------------------------------

  async renameExcl(root, source, destination, identity, options) {
    await this.#run(RENAME_EXCL, root, [text(source), text(destination), ...identityArgs(identity)],
      [source, destination], options);
  }

  async linkExcl(root, source, destination, staging, quarantine, description, options) {
    const paths = [source, destination, staging, quarantine];
    await this.#run(LINK_EXCL, root, [...paths.map(text), ...descriptionArgs(description)], paths, options);
  }

  async renameSwap(root, a, b, file1, file2, options) {
    await this.#run(RENAME_SWAP, root, [text(a), text(b), ...identityArgs(file1), ...identityArgs(file2)], [a, b],
      options);
  }

  async unlinkChecked(root, source, staging, quarantine, description, options) {
    const paths = [source, staging, quarantine];
    await this.#run(UNLINK_CHECKED, root, [...paths.map(text), ...descriptionArgs(description)], paths, options);
  }

  // -- the private store ---------------------------------------------------------------------------------

  async quarantinePrivateTree(root, source, destination, options) {
    await this.#run(QUARANTINE_PRIVATE_TREE, root, [text(source), text(destination)], [source, destination], options);
  }

  async removePrivateTree(root, path, budget = 4096n, depthLimit = 16n, options) {
    await this.#run(REMOVE_PRIVATE_TREE, root, [text(path), number(budget), number(depthLimit)], [path], options);
  }

  async createPrivateFileStaged(root, finalPath, stagingPath, data, options) {
    return this.#create(CREATE_PRIVATE_FILE_STAGED, root, [text(finalPath), text(stagingPath)],
      [finalPath, stagingPath], finalPath, data, options);
  }

  async removePrivateStagingFile(root, path, sizeBound = MAX_CONTENT_SIZE, options) {
    await this.#run(REMOVE_PRIVATE_STAGING_FILE, root, [text(path), number(sizeBound)], [path], options);
  }

  async readPrivateFile(root, path, maxSize = MAX_CONTENT_SIZE, options) {
    return this.#read(READ_PRIVATE_FILE, root, [text(path), number(maxSize)], [path], maxSize, null, options);
  }

  async readPrivateFileInto(root, path, sink, maxSize = MAX_CONTENT_SIZE, options) {
    return this.#read(READ_PRIVATE_FILE, root, [text(path), number(maxSize)], [path], maxSize, sink, options);
  }

  async readExternalFile(root, path, directory, maxSize = MAX_CONTENT_SIZE, options) {
    return this.#read(READ_EXTERNAL_FILE, root, externalArgs(path, directory, maxSize), [path], maxSize, null,
      options);
  }

  async readExternalFileInto(root, path, directory, sink, maxSize = MAX_CONTENT_SIZE, options) {
    return this.#read(READ_EXTERNAL_FILE, root, externalArgs(path, directory, maxSize), [path], maxSize, sink,
      options);
  }

  /** Takes the content's size and SHA-256 digest, or a description (or anything with `size` and `sha256`,
   * such as a create returns) in their place, the options then following it. */
  async removePrivateFile(root, path, size, sha256, options) {
    if (typeof size === 'object' && size !== null) {
      if (typeof sha256 === 'string' || options !== undefined) {
        throw new TypeError('removePrivateFile takes a description or a size and digest, not both');
      }
      options = sha256;
      ({ size, sha256 } = size);
    }
    await this.#run(REMOVE_PRIVATE_FILE, root, [text(path), number(size), text(sha256)], [path], options);
  }

  async ensureDir(root, path, options) {
    return this.#run(ENSURE_DIR, root, [text(path)], [path], options);
  }

  async ensurePrivateDir(root, path, options) {
    return this.#run(ENSURE_PRIVATE_DIR, root, [text(path)], [path], options);
  }

  async createFile(root, path, mode, data, options) {
    return this.#create(CREATE_FILE, root, [text(path), number(mode)], [path], path, data, options);
  }

  async createPrivateFile(root, path, data, options) {
    return this.#create(CREATE_PRIVATE_FILE, root, [text(path)], [path], path, data, options);
  }
}

function externalArgs(path, directory, maxSize) {
  return [text(path), number(maxSize), number(directory.device), number(directory.inode), number(directory.uid)];
}
