// Believing the helper only as far as the protocol allows: one flat JSON object on one line, in one of five
// shapes, with an exit status that belongs to it and nothing after it except the bytes a size line
// announced. Anything else is a HelperError, never an answer.

import { AnchorfsError, CODE_CLASSES, HelperCancelled, HelperError, HelperTimeout, ResultNotDelivered }
  from './errors.js';
import { MAX_CONTENT_SIZE } from './records.js';

// The longest result line: a bookmark line of 131072 hexadecimal digits and its other fields fit easily.
export const MAX_LINE_LENGTH = 131072 + 256;

// Exit status of a run whose result line (or the content after it) could not be written whole.
const EXIT_NOT_DELIVERED = 11;
const ESTALE = 116;

// Each code and the errno that must come with it; null: any errno without a name of its own
// (FILESYSTEM_ERROR), or any errno at all (the race codes carry the error as it was left).
const CODES = new Map(Object.entries({
  INVALID_PROTOCOL: 22, ROOT_IDENTITY_CHANGED: ESTALE, IDENTITY_CHANGED: ESTALE, RACE_ROLLED_BACK: null,
  RACE_PRESERVED: null, EPERM: 1, ENOENT: 2, E2BIG: 7, EACCES: 13, EEXIST: 17, EXDEV: 18, ENOTDIR: 20,
  EISDIR: 21, EINVAL: 22, ELOOP: 40, ENOTEMPTY: 39, FILESYSTEM_ERROR: null,
}));
const NAMED_ERRNOS = new Set([...CODES.values()].filter((e) => e !== null));

/** The success line a command answers with, and which race codes it can report at all. */
export const Shape = Object.freeze({ PLAIN: 'plain', SIZE: 'size', DIRECTORY: 'directory', BOOKMARK: 'bookmark' });
export const Races = Object.freeze({ NONE: 'none', PRESERVED_ONLY: 'preserved_only', BOTH: 'both' });

/** One row of the command table. */
export function command(name, shape = Shape.PLAIN, races = Races.NONE) {
  return Object.freeze({ name, shape, races });
}

/** How one run went: what came on standard output, whether standard error saw a byte, how it ended. */
export function newOutput() {
  return {
    head: Buffer.alloc(0), // the line without its line feed, or everything before one when none came
    hasLine: false,
    afterLine: 0, // bytes received after the line (content, capped at what the line allowed)
    contentLimit: 0, // bytes the line allowed after it
    overflowed: false, // more output than could belong to an answer came; the helper was stopped
    stderrWritten: false,
    exitStatus: -1,
    signal: 0,
    cancelled: null, // 'timeout' or 'abort' when the run was cancelled
  };
}

// A flat JSON object as the helper prints it: strings without escapes or control characters, integers
// without leading zeros, booleans. Spaces, tabs and carriage returns between tokens.
const SPACE = '[ \\t\\r]*';
const MEMBER = new RegExp(SPACE + '"([^"\\\\\\x00-\\x1f]*)"' + SPACE + ':' + SPACE +
  '(?:"([^"\\\\\\x00-\\x1f]*)"|(-?(?:0|[1-9][0-9]*))(?![0-9])|(true|false))' + SPACE, 'y');
const OPEN = new RegExp(SPACE + '\\{' + SPACE, 'y');
const TRAILING = /^[ \t\r]*$/;
// ignoreBOM keeps a leading byte-order mark in the text, where it is no JSON: such a line is refused.
const STRICT_UTF8 = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });

/** The members of the object that is the whole line (integers as bigint), or null when it is not such an
 * object or names a key twice. */
export function parseFlatObject(line) {
  OPEN.lastIndex = 0;
  if (!OPEN.test(line)) return null;
  let at = OPEN.lastIndex;
  const members = new Map();
  if (line.startsWith('}', at)) {
    at += 1;
  } else {
    for (;;) {
      MEMBER.lastIndex = at;
      const m = MEMBER.exec(line);
      if (m === null || members.has(m[1])) return null;
      members.set(m[1], m[2] !== undefined ? m[2] : m[3] !== undefined ? BigInt(m[3]) : m[4] === 'true');
      at = MEMBER.lastIndex;
      if (line.startsWith(',', at)) { at += 1; continue; }
      if (line.startsWith('}', at)) { at += 1; break; }
      return null;
    }
  }
  return TRAILING.test(line.slice(at)) ? members : null;
}

function decode(bytes) {
  try {
    return parseFlatObject(STRICT_UTF8.decode(bytes));
  } catch {
    return null; // not well-formed UTF-8
  }
}

const DECIMAL = /^(?:0|[1-9][0-9]{0,19})$/;
const HEX = /^(?:[0-9a-f]{2})+$/;
const U64_END = 1n << 64n;

/** An unsigned 64-bit decimal string as the helper prints it: digits only, no leading zero. */
function decimal(members, key) {
  const value = members.get(key);
  if (typeof value !== 'string' || !DECIMAL.test(value)) return null;
  const number = BigInt(value);
  return number < U64_END ? number : null;
}

function hasKeys(members, keys) {
  return members.size === keys.length && keys.every((k) => members.has(k));
}

/** How many bytes may follow this line: the announced size of a well-formed size line, else none. */
export function contentAllowance(cmd, head, sizeBound) {
  if (cmd.shape !== Shape.SIZE) return 0;
  const members = decode(head);
  if (members === null || !hasKeys(members, ['ok', 'size']) || members.get('ok') !== true) return 0;
  const size = decimal(members, 'size');
  const bound = sizeBound < MAX_CONTENT_SIZE ? sizeBound : MAX_CONTENT_SIZE;
  return size !== null && size <= bound ? Number(size) : 0;
}

const S_IFMT = 0o170000n;
const S_IFDIR = 0o040000n;

/**
 * The payload of a success (directory, bookmark, content size or null), or the failure thrown. The content
 * of a size line has already gone to its sink; its size is returned once all of it came.
 */
export function interpret(cmd, output, paths) {
  const line = output.head.subarray(0, MAX_LINE_LENGTH).toString('utf8');
  const broken = (reason, Kind = HelperError) =>
    new Kind(cmd.name, reason, { line, exitStatus: output.exitStatus, signal: output.signal, paths });

  if (output.cancelled === 'timeout') throw broken('timed_out', HelperTimeout);
  if (output.cancelled === 'abort') throw broken('cancelled', HelperCancelled);
  if (output.signal !== 0) throw broken('killed_by_signal');
  if (output.exitStatus === EXIT_NOT_DELIVERED) throw broken('not_delivered', ResultNotDelivered);
  if (output.stderrWritten) throw broken('unexpected_stderr');
  if (output.head.length === 0 && !output.hasLine) throw broken('no_line');
  if (!output.hasLine) throw broken(output.overflowed ? 'extra_output' : 'malformed_line');
  if (output.overflowed) throw broken('extra_output');
  const members = decode(output.head);
  if (members === null) throw broken('malformed_line');
  const ok = members.get('ok');
  if (typeof ok !== 'boolean') throw broken('wrong_shape');

  if (ok === false) {
    if (output.afterLine) throw broken('extra_output');
    const code = members.get('code');
    const number = members.get('errno');
    if (!hasKeys(members, ['ok', 'code', 'errno']) || typeof code !== 'string' || typeof number !== 'bigint') {
      throw broken('wrong_shape');
    }
    if (!CODES.has(code)) throw broken('unknown_code');
    const expected = CODES.get(code);
    let fits = number > 0n && number <= 0x7fffffffn && (expected === null || BigInt(expected) === number);
    if (code === 'FILESYSTEM_ERROR' && NAMED_ERRNOS.has(Number(number))) fits = false;
    if (code === 'RACE_ROLLED_BACK' && cmd.races !== Races.BOTH) fits = false;
    if (code === 'RACE_PRESERVED' && cmd.races === Races.NONE) fits = false;
    if (!fits) throw broken('wrong_shape');
    if (output.exitStatus !== (code === 'INVALID_PROTOCOL' ? 2 : 10)) throw broken('exit_status_mismatch');
    throw new (CODE_CLASSES[code] ?? AnchorfsError)(cmd.name, code, Number(number), paths);
  }

  if (output.exitStatus !== 0) throw broken('exit_status_mismatch');
  let payload = null;
  if (cmd.shape === Shape.PLAIN) {
    if (!hasKeys(members, ['ok'])) throw broken('wrong_shape');
  } else if (cmd.shape === Shape.DIRECTORY) {
    const [device, inode, uid, mode] = ['device', 'inode', 'uid', 'mode'].map((k) => decimal(members, k));
    if (!hasKeys(members, ['ok', 'device', 'inode', 'uid', 'mode']) || [device, inode, uid, mode].includes(null)
        || mode > 0xffffn || (mode & S_IFMT) !== S_IFDIR) {
      throw broken('wrong_shape');
    }
    payload = Object.freeze({ device, inode, uid, mode });
  } else if (cmd.shape === Shape.BOOKMARK) {
    const [device, inode, uid] = ['device', 'inode', 'uid'].map((k) => decimal(members, k));
    const hex = members.get('bookmark');
    if (!hasKeys(members, ['ok', 'bookmark', 'device', 'inode', 'uid']) || [device, inode, uid].includes(null)
        || typeof hex !== 'string' || hex.length > 131072 || !HEX.test(hex)) {
      throw broken('wrong_shape');
    }
    payload = Object.freeze({ hex, device, inode, uid });
  } else {
    const size = decimal(members, 'size');
    if (!hasKeys(members, ['ok', 'size']) || size === null || BigInt(output.contentLimit) !== size) {
      throw broken('wrong_shape');
    }
    if (output.afterLine < output.contentLimit) throw broken('missing_bytes');
    payload = BigInt(output.afterLine);
  }
  if (cmd.shape !== Shape.SIZE && output.afterLine) throw broken('extra_output');
  return payload;
}
