// Operation records: everything the recover command of one operation needs (the root anchor, a bookmark of
// every parent directory involved, the descriptions, the staging and quarantine names chosen), in the JSON
// form of docs/operation-record.schema.json that every client reads and writes alike.

import { createHash, randomBytes } from 'node:crypto';
import { QUARANTINE_PREFIX, newQuarantineLeaf } from './files.js';

export const RECORD_VERSION = 1;
export const STAGING_PREFIX = '.anchorfs-staging-';

export const Operation = Object.freeze({
  RENAME_EXCL: 'rename-excl',
  RENAME_SWAP: 'rename-swap',
  LINK_EXCL: 'link-excl',
  UNLINK_CHECKED: 'unlink-checked',
  CREATE_PRIVATE_FILE_STAGED: 'create-private-file-staged',
});

// The names and files each operation's record holds, by role.
export const ROLES = Object.freeze({
  [Operation.RENAME_EXCL]: [['source', 'destination'], ['file']],
  [Operation.RENAME_SWAP]: [['a', 'b'], ['file1', 'file2']],
  [Operation.LINK_EXCL]: [['source', 'destination', 'staging', 'quarantine'], ['file']],
  [Operation.UNLINK_CHECKED]: [['source', 'staging', 'quarantine'], ['file']],
  [Operation.CREATE_PRIVATE_FILE_STAGED]: [['final', 'staging'], []],
});

/** Bytes that are not a record of the published form (torn by a crash, or not a record at all), or a record
 * that could not be written in it. */
export class RecordError extends Error {
  constructor(message) {
    super(message);
    this.name = 'RecordError';
  }
}

// -- a strict JSON reader -----------------------------------------------------------------------------------
// JSON.parse keeps the last of a key given twice and rounds numbers: a record is read by this instead, which
// refuses a repeated key and keeps each number as its text.

class JsonNumber {
  constructor(text) { this.text = text; }
}

const WHITESPACE = /[ \t\n\r]*/y;
const NUMBER = /-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?/y;
const PLAIN_RUN = /[^"\\\x00-\x1f]*/y;
const ESCAPES = { '"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t' };

function parseJson(text) {
  let at = 0;
  const fail = (what) => { throw new SyntaxError(`${what} at offset ${at}`); };
  const space = () => { WHITESPACE.lastIndex = at; WHITESPACE.test(text); at = WHITESPACE.lastIndex; };
  const string = () => {
    at += 1;
    let out = '';
    for (;;) {
      PLAIN_RUN.lastIndex = at;
      PLAIN_RUN.test(text);
      out += text.slice(at, PLAIN_RUN.lastIndex);
      at = PLAIN_RUN.lastIndex;
      const c = text[at];
      if (c === '"') { at += 1; return out; }
      if (c !== '\\') fail(c === undefined ? 'unterminated string' : 'control character in a string');
      const e = text[at + 1];
      if (e === 'u' && /^[0-9a-fA-F]{4}$/.test(text.slice(at + 2, at + 6))) {
        out += String.fromCharCode(parseInt(text.slice(at + 2, at + 6), 16));
        at += 6;
      } else if (e in ESCAPES) {
        out += ESCAPES[e];
        at += 2;
      } else {
        fail('bad escape');
      }
    }
  };
  const value = () => {
    space();
    const c = text[at];
    if (c === '{') {
      at += 1;
      const members = new Map();
      space();
      if (text[at] === '}') { at += 1; return members; }
      for (;;) {
        space();
        if (text[at] !== '"') fail('expected a key');
        const key = string();
        if (members.has(key)) fail(`the key ${JSON.stringify(key)} given twice`);
        space();
        if (text[at] !== ':') fail('expected ":"');
        at += 1;
        members.set(key, value());
        space();
        if (text[at] === ',') { at += 1; continue; }
        if (text[at] === '}') { at += 1; return members; }
        fail('expected "," or "}"');
      }
    }
    if (c === '[') {
      at += 1;
      const items = [];
      space();
      if (text[at] === ']') { at += 1; return items; }
      for (;;) {
        items.push(value());
        space();
        if (text[at] === ',') { at += 1; continue; }
        if (text[at] === ']') { at += 1; return items; }
        fail('expected "," or "]"');
      }
    }
    if (c === '"') return string();
    for (const [word, meaning] of [['true', true], ['false', false], ['null', null]]) {
      if (text.startsWith(word, at)) { at += word.length; return meaning; }
    }
    NUMBER.lastIndex = at;
    const m = NUMBER.exec(text);
    if (m === null) fail('unexpected character');
    at = NUMBER.lastIndex;
    return new JsonNumber(m[0]);
  };
  const result = value();
  space();
  if (at !== text.length) fail('extra data');
  return result;
}

// -- the JSON form ------------------------------------------------------------------------------------------

const DECIMAL = /^(?:0|[1-9][0-9]{0,19})$/;
const DIGEST = /^[0-9a-f]{64}$/;
const BOOKMARK = /^(?:[0-9a-f]{2})+$/;
const MAX_BOOKMARK_HEX = 131072;
const QUARANTINE = new RegExp(`^${QUARANTINE_PREFIX.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}[0-9a-f]{32}$`);
const U64_END = 1n << 64n;
const DESCRIPTION_KEYS = ['device', 'inode', 'link_count', 'uid', 'mode', 'size', 'mtime_ns', 'sha256'];
// ignoreBOM keeps a leading byte-order mark in the text, where it is no JSON: such a record is refused.
const STRICT_UTF8 = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });

function decimalText(value, where) {
  if (typeof value === 'number' && Number.isSafeInteger(value)) value = BigInt(value);
  if (typeof value !== 'bigint') throw new RecordError(`${where}: not an unsigned 64-bit number`);
  return value.toString();
}

function descriptionJson(d, where) {
  if (d?.identity === undefined) throw new RecordError(`${where}: not a file description`);
  const i = d.identity;
  return {
    device: decimalText(i.device, `${where}.device`), inode: decimalText(i.inode, `${where}.inode`),
    link_count: decimalText(i.linkCount, `${where}.link_count`), uid: decimalText(i.uid, `${where}.uid`),
    mode: decimalText(i.mode, `${where}.mode`), size: decimalText(d.size, `${where}.size`),
    mtime_ns: decimalText(d.mtimeNs, `${where}.mtime_ns`), sha256: d.sha256,
  };
}

function nameJson(name, where) {
  const out = { path: name.path };
  if (name.parent !== null && name.parent !== undefined) {
    const b = name.parent;
    out.bookmark = { hex: b.hex, device: decimalText(b.device, `${where}.device`),
      inode: decimalText(b.inode, `${where}.inode`), uid: decimalText(b.uid, `${where}.uid`) };
  }
  return out;
}

/**
 * The record's JSON form, one line ending in a line feed, as a Buffer. A record that would not be read back
 * exactly (a number that is not an unsigned 64-bit one, an empty path, a malformed digest or quarantine leaf)
 * throws RecordError: nothing unreadable is ever written.
 */
export function encodeRecord(record) {
  const roles = ROLES[record?.operation];
  if (roles === undefined) throw new RecordError(`unknown operation ${JSON.stringify(record?.operation)}`);
  const [names, files] = roles;
  const r = record.root;
  const out = {
    version: RECORD_VERSION,
    operation: record.operation,
    root: { path: r.path, device: decimalText(r.device, 'root.device'), inode: decimalText(r.inode, 'root.inode'),
      uid: decimalText(r.uid, 'root.uid') },
    names: Object.fromEntries(names.map((role) => [role, nameJson(record.names[role] ?? {}, `names.${role}`)])),
  };
  if (files.length) {
    out.files = Object.fromEntries(files.map((role) => [role, descriptionJson(record.files[role], `files.${role}`)]));
  }
  if (record.content !== null && record.content !== undefined) {
    out.content = { size: decimalText(record.content.size, 'content.size'), sha256: record.content.sha256 };
  }
  const data = Buffer.from(`${JSON.stringify(out)}\n`);
  decodeRecord(data); // refuses what no client would read back
  return data;
}

function object(value, where, keys, optional = []) {
  if (!(value instanceof Map)) throw new RecordError(`${where}: not an object`);
  const missing = keys.filter((k) => !value.has(k));
  const extra = [...value.keys()].filter((k) => !keys.includes(k) && !optional.includes(k));
  if (missing.length || extra.length) {
    throw new RecordError(`${where}: missing ${JSON.stringify(missing)} or unknown ${JSON.stringify(extra)}`);
  }
  return value;
}

function decimal(value, where) {
  if (typeof value !== 'string' || !DECIMAL.test(value) || BigInt(value) >= U64_END) {
    throw new RecordError(`${where}: not an unsigned 64-bit decimal string`);
  }
  return BigInt(value);
}

// A lone surrogate is refused too: it cannot be passed to the helper as the same path.
function string(value, where, pattern = null) {
  if (typeof value !== 'string' || !value || value.includes('\0') || !value.isWellFormed()
      || (pattern !== null && !pattern.test(value))) {
    throw new RecordError(`${where}: not a valid string`);
  }
  return value;
}

function description(value, where) {
  const v = object(value, where, DESCRIPTION_KEYS);
  const [device, inode, linkCount, uid, mode, size, mtimeNs] =
    DESCRIPTION_KEYS.slice(0, 7).map((k) => decimal(v.get(k), `${where}.${k}`));
  return Object.freeze({ identity: Object.freeze({ device, inode, linkCount, uid, mode }), size, mtimeNs,
    sha256: string(v.get('sha256'), `${where}.sha256`, DIGEST) });
}

function name(value, where, bookmarked, quarantine) {
  const v = object(value, where, bookmarked ? ['path', 'bookmark'] : ['path']);
  const path = string(v.get('path'), `${where}.path`);
  if (quarantine && !QUARANTINE.test(path.slice(path.lastIndexOf('/') + 1))) {
    throw new RecordError(`${where}.path: the leaf is not a quarantine leaf`);
  }
  if (!bookmarked) return Object.freeze({ path, parent: null });
  const b = object(v.get('bookmark'), `${where}.bookmark`, ['hex', 'device', 'inode', 'uid']);
  const hex = string(b.get('hex'), `${where}.bookmark.hex`, BOOKMARK);
  if (hex.length > MAX_BOOKMARK_HEX) throw new RecordError(`${where}.bookmark.hex: not a valid string`);
  const [device, inode, uid] = ['device', 'inode', 'uid'].map((k) => decimal(b.get(k), `${where}.bookmark.${k}`));
  return Object.freeze({ path, parent: Object.freeze({ hex, device, inode, uid }) });
}

const show = (value) => (value instanceof JsonNumber ? value.text : value instanceof Map ? 'an object'
  : JSON.stringify(value));

/** The record in `data` (bytes), every number a bigint; RecordError for anything that is not exactly the
 * published form. */
export function decodeRecord(data) {
  let value;
  try {
    value = parseJson(STRICT_UTF8.decode(data));
  } catch (error) {
    throw new RecordError(`not JSON: ${error.message}`);
  }
  if (!(value instanceof Map)) throw new RecordError('not an object');
  const version = value.get('version');
  if (!(version instanceof JsonNumber) || version.text !== String(RECORD_VERSION)) {
    throw new RecordError(`version ${show(version)} is not ${RECORD_VERSION}`);
  }
  const operation = value.get('operation');
  if (typeof operation !== 'string' || !Object.hasOwn(ROLES, operation)) {
    throw new RecordError(`unknown operation ${show(operation)}`);
  }
  const [roles, fileRoles] = ROLES[operation];
  const staged = operation === Operation.CREATE_PRIVATE_FILE_STAGED;
  object(value, 'record', ['version', 'operation', 'root', 'names', ...(fileRoles.length ? ['files'] : []),
    ...(staged ? ['content'] : [])]);
  const r = object(value.get('root'), 'root', ['path', 'device', 'inode', 'uid']);
  const root = Object.freeze({ path: string(r.get('path'), 'root.path'),
    ...Object.fromEntries(['device', 'inode', 'uid'].map((k) => [k, decimal(r.get(k), `root.${k}`)])) });
  const namesJson = object(value.get('names'), 'names', roles);
  const names = Object.freeze(Object.fromEntries(roles.map((role) =>
    [role, name(namesJson.get(role), `names.${role}`, !staged, role === 'quarantine')])));
  let files = {};
  if (fileRoles.length) {
    const filesJson = object(value.get('files'), 'files', fileRoles);
    files = Object.fromEntries(fileRoles.map((role) => [role, description(filesJson.get(role), `files.${role}`)]));
  }
  let content = null;
  if (staged) {
    const c = object(value.get('content'), 'content', ['size', 'sha256']);
    content = Object.freeze({ size: decimal(c.get('size'), 'content.size'),
      sha256: string(c.get('sha256'), 'content.sha256', DIGEST) });
  }
  return Object.freeze({ operation, root, names, files: Object.freeze(files), content });
}

// -- preparing records --------------------------------------------------------------------------------------

/** The directory part of a path below the root, "." when it has none. */
export function directoryOf(path) {
  const slash = path.lastIndexOf('/');
  return slash < 0 ? '.' : path.slice(0, slash);
}

function pathText(path, role) {
  if (typeof path !== 'string') throw new TypeError(`${role}: expected a string path, got ${typeof path}`);
  return path;
}

// Each path with the bookmark of its parent, one bookmark-parent run per distinct directory.
async function bookmarked(helper, root, paths) {
  const taken = new Map();
  const names = {};
  for (const [role, path] of Object.entries(paths)) {
    const directory = directoryOf(pathText(path, role));
    if (!taken.has(directory)) taken.set(directory, await helper.bookmarkParent(root, path));
    names[role] = Object.freeze({ path, parent: taken.get(directory) });
  }
  return Object.freeze(names);
}

function scratchNames(scratch) {
  const prefix = scratch === '.' ? '' : `${scratch.replace(/\/+$/, '')}/`;
  return [`${prefix}${STAGING_PREFIX}${randomBytes(16).toString('hex')}`, prefix + newQuarantineLeaf()];
}

const record = (operation, root, names, files = {}, content = null) =>
  Object.freeze({ operation, root, names, files: Object.freeze(files), content });

/** The record of renaming the described file from `source` to the free `destination`. */
export async function prepareRenameExcl(helper, root, source, destination, file) {
  return record(Operation.RENAME_EXCL, root, await bookmarked(helper, root, { source, destination }), { file });
}

/** The record of swapping file 1 under `a` and file 2 under `b`. */
export async function prepareRenameSwap(helper, root, a, b, file1, file2) {
  return record(Operation.RENAME_SWAP, root, await bookmarked(helper, root, { a, b }), { file1, file2 });
}

/** The record of giving the described file (link count as before the link) the free name `destination`. The
 * staging and quarantine names are fresh names in `scratch` (default: the destination's directory). */
export async function prepareLinkExcl(helper, root, source, destination, file, { scratch } = {}) {
  const [staging, quarantine] = scratchNames(scratch ?? directoryOf(pathText(destination, 'destination')));
  return record(Operation.LINK_EXCL, root,
    await bookmarked(helper, root, { source, destination, staging, quarantine }), { file });
}

/** The record of deleting the described file at `source`; staging and quarantine names are fresh names in
 * `scratch` (default: the source's directory). */
export async function prepareUnlinkChecked(helper, root, source, file, { scratch } = {}) {
  const [staging, quarantine] = scratchNames(scratch ?? directoryOf(pathText(source, 'source')));
  return record(Operation.UNLINK_CHECKED, root, await bookmarked(helper, root, { source, staging, quarantine }),
    { file });
}

/** The size and SHA-256 of content, as a staged create's record holds them. */
export function contentDigest(content) {
  if (!(content instanceof Uint8Array)) throw new TypeError('content must be a Uint8Array');
  return Object.freeze({ size: BigInt(content.length), sha256: createHash('sha256').update(content).digest('hex') });
}

/** The record of writing `content` (a Uint8Array) to the free private name `final` through a fresh staging
 * name in its directory. Needs no helper run. */
export function prepareCreatePrivateFileStaged(root, final, content) {
  const [staging] = scratchNames(directoryOf(pathText(final, 'final')));
  const privateName = (path) => Object.freeze({ path, parent: null });
  return record(Operation.CREATE_PRIVATE_FILE_STAGED, root,
    Object.freeze({ final: privateName(final), staging: privateName(staging) }), {}, contentDigest(content));
}
