// Type declarations of the anchorfs Node client. Every unsigned 64-bit number is a bigint; where a number is
// taken, a safe non-negative integer `number` is accepted too (anything above 2^53 - 1 must be a bigint).
//
// Every Helper method rejects with AnchorfsError (or the subclass its code names) for a failure line, and
// with HelperError when the program could not be run or its output broke the protocol. Besides the codes
// listed per method, every command can answer ROOT_IDENTITY_CHANGED, ENOENT/ENOTDIR/ELOOP/EACCES/EXDEV on the
// way to its parent, IDENTITY_CHANGED for a directory changed while held or a mount point at the name, EINVAL
// for a malformed path or number, and FILESYSTEM_ERROR (errno 34 for a number out of range, 24 for too few
// descriptors, 95 or 36 for descriptor paths).

import type { FileHandle } from 'node:fs/promises';

export type U64 = bigint | number;

/** The largest content the helper creates, reads, hashes or deletes by content: 64 MiB. */
export const MAX_CONTENT_SIZE: bigint;
/** Milliseconds a cancelled run gets to end on its own after its input was closed, before SIGKILL: 2000. */
export const GRACE_MS: number;
/** The first part of every quarantine leaf. */
export const QUARANTINE_PREFIX: string;

/** The root every command works below: its path and the identity it must still have. */
export interface RootAnchor { readonly path: string; readonly device: U64; readonly inode: U64; readonly uid: U64 }
/** A regular file: device, inode, link count, owner uid and the whole mode word (0o100644, not 0o644). */
export interface FileIdentity {
  readonly device: U64; readonly inode: U64; readonly linkCount: U64; readonly uid: U64; readonly mode: U64;
}
/** A regular file described completely: identity, size, mtime in nanoseconds and SHA-256 (lowercase hex). */
export interface FileDescription {
  readonly identity: FileIdentity; readonly size: U64; readonly mtimeNs: U64; readonly sha256: string;
}
/** What ensureDir and ensurePrivateDir report: device, inode, owner uid and whole mode word. */
export interface DirectoryIdentity { readonly device: bigint; readonly inode: bigint; readonly uid: bigint; readonly mode: bigint }
/** What bookmarkParent reports about a directory. Store it unchanged; pass it back to the recover commands. */
export interface Bookmark { readonly hex: string; readonly device: bigint; readonly inode: bigint; readonly uid: bigint }
/** A directory found again by bookmark and by path (`"."` for the root), and a name in it. */
export interface BookmarkedParent {
  readonly bookmark: string; readonly device: U64; readonly inode: U64; readonly uid: U64;
  readonly directory: string; readonly leaf: string;
}
/** Results of the functions below: every number a bigint. */
export interface RootAnchorResult extends RootAnchor { readonly device: bigint; readonly inode: bigint; readonly uid: bigint }
export interface FileIdentityResult extends FileIdentity {
  readonly device: bigint; readonly inode: bigint; readonly linkCount: bigint; readonly uid: bigint; readonly mode: bigint;
}
export interface FileDescriptionResult extends FileDescription {
  readonly identity: FileIdentityResult; readonly size: bigint; readonly mtimeNs: bigint;
}
export interface BookmarkedParentResult extends BookmarkedParent {
  readonly device: bigint; readonly inode: bigint; readonly uid: bigint;
}

/**
 * Content to create: bytes; an open FileHandle of a regular file, read from offset 0 to its end (its position
 * is not used); or a stream of exactly `size` bytes (fewer: the helper refuses the short input with EINVAL;
 * more: the call rejects with RangeError and nothing is created).
 */
export type Content = Uint8Array | FileHandle | { readonly stream: AsyncIterable<Uint8Array>; readonly size: U64 };

/** Where a read's content goes as it arrives; its back-pressure ('drain') paces the helper. */
export interface ContentSink {
  write(chunk: Uint8Array): boolean;
  on(event: 'drain' | 'close', listener: () => void): unknown;
  on(event: 'error', listener: (error: Error) => void): unknown;
  off(event: string, listener: (...args: any[]) => void): unknown;
}

/** Per call: `timeout` in milliseconds (else the Helper's), and a signal that cancels the run. A cancelled
 * run has its input closed at once, and is killed with SIGKILL if it has not ended GRACE_MS later. */
export interface CallOptions { readonly timeout?: number; readonly signal?: AbortSignal }

export type Code = 'INVALID_PROTOCOL' | 'ROOT_IDENTITY_CHANGED' | 'IDENTITY_CHANGED' | 'RACE_ROLLED_BACK' |
  'RACE_PRESERVED' | 'EPERM' | 'ENOENT' | 'E2BIG' | 'EACCES' | 'EEXIST' | 'EXDEV' | 'ENOTDIR' | 'EISDIR' |
  'EINVAL' | 'ELOOP' | 'ENOTEMPTY' | 'FILESYSTEM_ERROR';

/** The helper reported a failure: `code` as the line spells it and its `errno`; the message names the command
 * and the paths of the call. */
export class AnchorfsError extends Error {
  readonly command: string;
  readonly code: Code | null;
  readonly errno: number;
  readonly paths: readonly string[];
}
/** INVALID_PROTOCOL: the command line itself was refused (exit status 2); nothing was touched. */
export class ProtocolError extends AnchorfsError { readonly code: 'INVALID_PROTOCOL' }
/** ROOT_IDENTITY_CHANGED: the root is not the directory of the anchor; nothing was touched. */
export class RootIdentityChanged extends AnchorfsError { readonly code: 'ROOT_IDENTITY_CHANGED' }
/** IDENTITY_CHANGED: a directory or file is no longer the one that was described or proven. */
export class IdentityChanged extends AnchorfsError { readonly code: 'IDENTITY_CHANGED' }
/** RACE_ROLLED_BACK: a check after the mutation failed and the mutation was undone. */
export class RaceRolledBack extends AnchorfsError { readonly code: 'RACE_ROLLED_BACK' }
/** RACE_PRESERVED: a check after the mutation failed and the new state had to stay in place. */
export class RacePreserved extends AnchorfsError { readonly code: 'RACE_PRESERVED' }

export type HelperErrorReason = 'spawn_failed' | 'no_line' | 'malformed_line' | 'wrong_shape' | 'unknown_code' |
  'extra_output' | 'missing_bytes' | 'unexpected_stderr' | 'exit_status_mismatch' | 'killed_by_signal' |
  'not_delivered' | 'timed_out' | 'cancelled';

/** The helper could not be run or its output broke the protocol (`code` null). A mutating command may have
 * taken effect: re-check the tree or run the matching recover command. */
export class HelperError extends AnchorfsError {
  readonly code: null;
  readonly reason: HelperErrorReason;
  /** The result line as far as there was one. */
  readonly line: string;
  /** -1 when the helper did not exit. */
  readonly exitStatus: number;
  /** The signal that ended the helper, 0 when none. */
  readonly signal: number;
}
/** Exit status 11: the helper could not write its result whole; the command may have taken effect. */
export class ResultNotDelivered extends HelperError { readonly reason: 'not_delivered' }
/** The run outlived its timeout and was cancelled (`line`, `exitStatus`, `signal` say how it ended). */
export class HelperTimeout extends HelperError { readonly reason: 'timed_out' }
/** The run was cancelled through its AbortSignal (`line`, `exitStatus`, `signal` say how it ended); a signal
 * aborted before the call starts nothing. */
export class HelperCancelled extends HelperError { readonly reason: 'cancelled' }

/** The anchor of the directory at `path`; its last component is not followed (ELOOP for a symbolic link). */
export function anchorRoot(path: string): Promise<RootAnchorResult>;
/** The identity of the regular file at `path` (not followed; EINVAL if not a regular file). */
export function identity(path: string): Promise<FileIdentityResult>;
/** The description of the regular file open as `handle`, hashed from offset 0 with SHA-256. Rejects with
 * code EINVAL (not a regular file), EFBIG (above 64 MiB), ERANGE (modified before the epoch), ESTALE (its
 * status, change time included, moved while it was hashed). */
export function describeHandle(handle: FileHandle, label?: string): Promise<FileDescriptionResult>;
/** describeHandle of the name `path`, opened without following a symbolic link and without blocking on a
 * FIFO (ELOOP for a symbolic link). */
export function describeFile(path: string): Promise<FileDescriptionResult>;
/** A fresh quarantine leaf: QUARANTINE_PREFIX and 32 lowercase hexadecimal digits from the kernel. */
export function newQuarantineLeaf(): string;
/** The recover commands' group for the entry at `path`, whose parent `bookmark` was taken of that path. */
export function bookmarkedParent(bookmark: Bookmark, path: string): BookmarkedParentResult;
/** The program `cmake --install` put beside this package, or null. */
export function installedProgram(): string | null;

export class Helper {
  /** `binary`: the program's path (a bare name is looked up on PATH); without it the program installed beside
   * the package, else `anchorfs` on PATH (an Error with code ENOENT when there is none). `timeout`: the
   * milliseconds each call may take when it gives none. */
  constructor(binary?: string | null, options?: { timeout?: number });
  readonly binary: string;
  timeout: number | undefined;

  /** Bookmark and identity of the parent directory of `path` (which need not exist). Changes nothing. */
  bookmarkParent(root: RootAnchor, path: string, options?: CallOptions): Promise<Bookmark>;
  /** Finishes an interrupted unlinkChecked wherever the described file is; all names absent: success.
   * Idempotent. Raises IDENTITY_CHANGED (a name holds another file, the file under two names, a directory
   * no longer reached by its path). */
  recoverUnlink(root: RootAnchor, source: BookmarkedParent, staging: BookmarkedParent, quarantine: BookmarkedParent,
    file: FileDescription, options?: CallOptions): Promise<void>;
  /** Returns an interrupted renameExcl to the state before it. Raises IDENTITY_CHANGED for any other state. */
  recoverRename(root: RootAnchor, source: BookmarkedParent, destination: BookmarkedParent, file: FileDescription,
    options?: CallOptions): Promise<void>;
  /** Undoes an interrupted renameSwap. Raises IDENTITY_CHANGED for any other state. */
  recoverSwap(root: RootAnchor, a: BookmarkedParent, b: BookmarkedParent, file1: FileDescription,
    file2: FileDescription, options?: CallOptions): Promise<void>;
  /** Undoes an interrupted linkExcl (`file` with the link count before the link); never deletes a last name.
   * Raises IDENTITY_CHANGED (wrong link counts, another file), EEXIST (the destination reappeared). */
  recoverLink(root: RootAnchor, source: BookmarkedParent, destination: BookmarkedParent, staging: BookmarkedParent,
    quarantine: BookmarkedParent, file: FileDescription, options?: CallOptions): Promise<void>;

  /** Renames the file of `identity` to the free `destination`. Raises EEXIST, ENOENT (source missing),
   * IDENTITY_CHANGED, EXDEV, RACE_ROLLED_BACK (back under the source), RACE_PRESERVED (left at the
   * destination). Interrupted: recoverRename. */
  renameExcl(root: RootAnchor, source: string, destination: string, identity: FileIdentity,
    options?: CallOptions): Promise<void>;
  /** Gives the described file the free second name `destination`. Raises EINVAL (malformed quarantine leaf),
   * IDENTITY_CHANGED (source not exactly the described file, or missing), EEXIST, RACE_ROLLED_BACK,
   * RACE_PRESERVED. Interrupted: recoverLink. */
  linkExcl(root: RootAnchor, source: string, destination: string, staging: string, quarantine: string,
    description: FileDescription, options?: CallOptions): Promise<void>;
  /** Atomically exchanges file 1 under `a` and file 2 under `b`. Raises ENOENT, IDENTITY_CHANGED,
   * RACE_ROLLED_BACK (only with the tree as before), RACE_PRESERVED (errno 116). Interrupted: recoverSwap. */
  renameSwap(root: RootAnchor, a: string, b: string, file1: FileIdentity, file2: FileIdentity,
    options?: CallOptions): Promise<void>;
  /** Deletes the file at `source` only while it has the described identity and content, through `staging`
   * and `quarantine` in one directory. Raises EINVAL, IDENTITY_CHANGED, EEXIST, RACE_ROLLED_BACK,
   * RACE_PRESERVED. Interrupted: recoverUnlink. */
  unlinkChecked(root: RootAnchor, source: string, staging: string, quarantine: string, description: FileDescription,
    options?: CallOptions): Promise<void>;

  /** Moves the private tree at `source` to the free `destination` in the same directory. Both absent, or
   * already moved: success. Raises EINVAL (both names hold directories), IDENTITY_CHANGED. */
  quarantinePrivateTree(root: RootAnchor, source: string, destination: string, options?: CallOptions): Promise<void>;
  /** Hardens and removes the private tree at `path`, at most `budget` entries (1 to 4096, default 4096) and
   * `depthLimit` levels (0 to 16, default 16) per run. Raises E2BIG (run it again to go on), EINVAL,
   * IDENTITY_CHANGED. A missing name succeeds. */
  removePrivateTree(root: RootAnchor, path: string, budget?: U64, depthLimit?: U64, options?: CallOptions): Promise<void>;
  /** Writes `data` to the free `stagingPath` (0600), proves and flushes it, then moves it to the free
   * `finalPath`; resolves to the new file's description, as createFile. Raises EINVAL (short or long input,
   * same paths), EEXIST, IDENTITY_CHANGED, RACE_PRESERVED. */
  createPrivateFileStaged(root: RootAnchor, finalPath: string, stagingPath: string, data: Content,
    options?: CallOptions): Promise<FileDescriptionResult>;
  /** Removes a private single-link file of at most `sizeBound` bytes. Raises EINVAL, IDENTITY_CHANGED. A
   * missing name succeeds. */
  removePrivateStagingFile(root: RootAnchor, path: string, sizeBound?: U64, options?: CallOptions): Promise<void>;
  /** The content of the private file at `path` (at most `maxSize` bytes). Raises IDENTITY_CHANGED, ENOENT,
   * ELOOP. */
  readPrivateFile(root: RootAnchor, path: string, maxSize?: U64, options?: CallOptions): Promise<Buffer>;
  /** readPrivateFile into `sink` as the content arrives; resolves its size once every byte was handed to
   * `sink.write` (end it and await 'finish' to know it is written; the call does not end it). After a
   * rejection `sink` may hold part of the content: discard it. */
  readPrivateFileInto(root: RootAnchor, path: string, sink: ContentSink, maxSize?: U64,
    options?: CallOptions): Promise<bigint>;
  /** The content of the non-empty single-link file at `path` in the directory of `directory`'s identity.
   * Raises EINVAL (the directory has another identity), IDENTITY_CHANGED. */
  readExternalFile(root: RootAnchor, path: string, directory: DirectoryIdentity | RootAnchor, maxSize?: U64,
    options?: CallOptions): Promise<Buffer>;
  /** readExternalFile into `sink`; resolves its size. */
  readExternalFileInto(root: RootAnchor, path: string, directory: DirectoryIdentity | RootAnchor, sink: ContentSink,
    maxSize?: U64, options?: CallOptions): Promise<bigint>;
  /** Deletes the private file at `path` only while it has `size` bytes and that SHA-256, or those of `file`
   * (a description, such as a create resolves to, or a JournalEntry). Raises EINVAL, ELOOP, IDENTITY_CHANGED
   * (other content). A missing name succeeds. */
  removePrivateFile(root: RootAnchor, path: string, size: U64, sha256: string, options?: CallOptions): Promise<void>;
  removePrivateFile(root: RootAnchor, path: string, file: Pick<FileDescription, 'size' | 'sha256'>,
    options?: CallOptions): Promise<void>;
  /** Creates the directory `path` (0700) or accepts the one there. Raises ENOTDIR, ELOOP, IDENTITY_CHANGED,
   * RACE_PRESERVED (a created directory stays). */
  ensureDir(root: RootAnchor, path: string, options?: CallOptions): Promise<DirectoryIdentity>;
  /** ensureDir in the private store: the root owner's, exactly 0700, else IDENTITY_CHANGED. */
  ensurePrivateDir(root: RootAnchor, path: string, options?: CallOptions): Promise<DirectoryIdentity>;
  /** Creates the new file `path` with permission bits `mode` (at most 0o777) from `data`, and resolves to
   * its description: identity and mtime from a status taken after the run (one name at a time from the
   * root, no link followed), size and SHA-256 from the bytes this client sent (hashed as they were sent,
   * never read back). Raises EEXIST, EINVAL (mode, size, short or long input), IDENTITY_CHANGED,
   * RACE_ROLLED_BACK, RACE_PRESERVED (also errno ESTALE from the client when, after the run, the name no
   * longer shows a regular file of that size: the file made stays). */
  createFile(root: RootAnchor, path: string, mode: U64, data: Content, options?: CallOptions):
    Promise<FileDescriptionResult>;
  /** createFile in the private store: mode 0600, the parent brought to 0700; resolves to the description. */
  createPrivateFile(root: RootAnchor, path: string, data: Content, options?: CallOptions):
    Promise<FileDescriptionResult>;
}

// -- operation records and journals -------------------------------------------------------------------------

/** The record form written and read; a reader refuses any other. */
export const RECORD_VERSION: 1;
/** The first part of every staging name a record's preparation chooses. */
export const STAGING_PREFIX: string;
/** The journal's default directory below the root: ".anchorfs-journal". */
export const JOURNAL_DIRECTORY: string;
/** The end of every record's name in a journal: ".json". */
export const RECORD_SUFFIX: string;
/** The largest record a journal reads back: 1 MiB. */
export const MAX_RECORD_SIZE: bigint;

/** The recoverable operations a record can hold. */
export const Operation: {
  readonly RENAME_EXCL: 'rename-excl'; readonly RENAME_SWAP: 'rename-swap'; readonly LINK_EXCL: 'link-excl';
  readonly UNLINK_CHECKED: 'unlink-checked'; readonly CREATE_PRIVATE_FILE_STAGED: 'create-private-file-staged';
};
export type Operation = (typeof Operation)[keyof typeof Operation];

/** What settling a record found and did: its effect is in place (`completed`), it had taken effect and was
 * reversed (`undone`), it had not taken effect (`nothing to do`), or the recover command failed or the
 * record cannot be believed (`needs attention`). */
export const Outcome: {
  readonly COMPLETED: 'completed'; readonly UNDONE: 'undone'; readonly NOTHING_TO_DO: 'nothing to do';
  readonly NEEDS_ATTENTION: 'needs attention';
};
export type Outcome = (typeof Outcome)[keyof typeof Outcome];

/** A path below the root and the bookmark of its parent directory taken when the record was prepared. */
export interface BookmarkedName { readonly path: string; readonly parent: Bookmark }
/** A name in the private store, reached by path alone. */
export interface PrivateName { readonly path: string; readonly parent: null }
/** The size and SHA-256 of the content a staged create writes. */
export interface RecordContent { readonly size: U64; readonly sha256: string }

interface RecordOf<O extends Operation, N, F> {
  readonly operation: O; readonly root: RootAnchor; readonly names: Readonly<N>; readonly files: Readonly<F>;
}
export type RenameExclRecord = RecordOf<'rename-excl', { source: BookmarkedName; destination: BookmarkedName },
  { file: FileDescription }> & { readonly content: null };
export type RenameSwapRecord = RecordOf<'rename-swap', { a: BookmarkedName; b: BookmarkedName },
  { file1: FileDescription; file2: FileDescription }> & { readonly content: null };
export type LinkExclRecord = RecordOf<'link-excl', { source: BookmarkedName; destination: BookmarkedName;
  staging: BookmarkedName; quarantine: BookmarkedName }, { file: FileDescription }> & { readonly content: null };
export type UnlinkCheckedRecord = RecordOf<'unlink-checked', { source: BookmarkedName; staging: BookmarkedName;
  quarantine: BookmarkedName }, { file: FileDescription }> & { readonly content: null };
export type CreatePrivateFileStagedRecord = RecordOf<'create-private-file-staged',
  { final: PrivateName; staging: PrivateName }, {}> & { readonly content: RecordContent };
/** Everything the recover command of one operation needs, in the JSON form of
 * docs/operation-record.schema.json (read back with every number a bigint). */
export type OperationRecord = RenameExclRecord | RenameSwapRecord | LinkExclRecord | UnlinkCheckedRecord |
  CreatePrivateFileStagedRecord;

/** Bytes that are not a record of the published form (torn or foreign), or a record that could not be
 * written in it; the message names the field. */
export class RecordError extends Error {}

/** The record's JSON form, one line ending in a line feed. Throws RecordError for a record that would not be
 * read back exactly (nothing unreadable is written). */
export function encodeRecord(record: OperationRecord): Buffer;
/** The record in `data`. Throws RecordError for anything that is not exactly the published form: cut short,
 * not UTF-8, an unknown or repeated key, a number that is not an unsigned 64-bit decimal string, another
 * version, a quarantine leaf of another form. */
export function decodeRecord(data: Uint8Array): OperationRecord;

/** The record of renaming the described file from `source` to the free `destination`; one bookmarkParent
 * run per distinct parent directory (its codes). */
export function prepareRenameExcl(helper: Helper, root: RootAnchor, source: string, destination: string,
  file: FileDescription): Promise<RenameExclRecord>;
/** The record of swapping file 1 under `a` and file 2 under `b`. */
export function prepareRenameSwap(helper: Helper, root: RootAnchor, a: string, b: string, file1: FileDescription,
  file2: FileDescription): Promise<RenameSwapRecord>;
/** The record of giving the described file (link count before the link) the free name `destination`; fresh
 * staging and quarantine names in `scratch` (default: the destination's directory). */
export function prepareLinkExcl(helper: Helper, root: RootAnchor, source: string, destination: string,
  file: FileDescription, options?: { scratch?: string }): Promise<LinkExclRecord>;
/** The record of deleting the described file at `source`; fresh staging and quarantine names in `scratch`
 * (default: the source's directory). */
export function prepareUnlinkChecked(helper: Helper, root: RootAnchor, source: string, file: FileDescription,
  options?: { scratch?: string }): Promise<UnlinkCheckedRecord>;
/** The record of writing `content` to the free private name `final` through a fresh staging name beside it.
 * No helper run. */
export function prepareCreatePrivateFileStaged(root: RootAnchor, final: string, content: Uint8Array):
  CreatePrivateFileStagedRecord;

/** Runs the record's operation; rejects as the helper method does. A staged create needs its content
 * (RangeError when it does not match the record) and resolves to the new file's description; the other
 * operations resolve to undefined. */
export function runRecord(helper: Helper, record: CreatePrivateFileStagedRecord, content: Uint8Array):
  Promise<FileDescriptionResult>;
export function runRecord(helper: Helper, record: OperationRecord, content?: Uint8Array | null):
  Promise<FileDescriptionResult | undefined>;

/** What settling one record did. `error`: the failure when a command failed; `problem`: why, in words;
 * `redone`: an undone operation was run again on request; `path`: the journal entry's. */
export interface Settlement {
  readonly outcome: Outcome; readonly record: OperationRecord | null; readonly error: AnchorfsError | null;
  readonly problem: string; readonly redone: boolean; readonly path: string;
}
/** Runs the recover command of `record` (recover-rename, -swap and -link undo, recover-unlink finishes; a
 * staged create's staging file is removed) and says what happened. With `redo` an undone (or never run)
 * rename, swap or link is run again: `completed` with `redone`, or `needs attention`. A failure line or
 * HelperError resolves `needs attention` with the error; it never rejects with one. */
export function settle(helper: Helper, record: OperationRecord, options?: { redo?: boolean }): Promise<Settlement>;

/** One record in a journal: its path below the root, the record (null when it could not be read or believed,
 * the reason in `problem`), and the size and SHA-256 of its bytes. */
export interface JournalEntry {
  readonly path: string; readonly record: OperationRecord | null; readonly size: bigint; readonly sha256: string;
  readonly problem: string;
}

/** Records kept durably in a private directory below the root. */
export class Journal {
  /** A journal whose directory exists already (no helper run); Journal.open ensures it. */
  constructor(helper: Helper, root: RootAnchor, directory?: string);
  /** The journal in `directory` (default JOURNAL_DIRECTORY), made or accepted with ensurePrivateDir (its
   * codes). */
  static open(helper: Helper, root: RootAnchor, directory?: string): Promise<Journal>;
  readonly helper: Helper;
  readonly root: RootAnchor;
  readonly directory: string;
  /** Writes the record with createPrivateFile under `OPERATION.<32 hex digits>.json` (owner-only, content and
   * name flushed, no link followed). Rejects with RecordError or createPrivateFile's codes. */
  write(record: OperationRecord): Promise<JournalEntry>;
  /** Removes the entry's file with removePrivateFile, only while it holds the entry's bytes (its codes). */
  remove(entry: JournalEntry): Promise<void>;
  /** Every record, read back with readPrivateFile, in the order of their names; a torn, foreign or unreadable
   * one with its problem. Rejects with a system error of code ESTALE when the root or the journal directory
   * is not the anchored one or not private (the root owner's, 0700), neither followed if a link; ENOTSUP
   * when /proc, through which a directory held open is named, is not procfs. */
  entries(): Promise<JournalEntry[]>;
  /** Removes an entry (a torn record included) while it still holds the bytes read. */
  discard(entry: JournalEntry): Promise<void>;
  /** Writes the record, runs its operation and removes the record once the outcome is known; rejects as the
   * operation does (RangeError, before anything is written, for content that does not match). The record
   * stays after a HelperError and after a failure line that did not leave the tree clearly as before; a staged
   * create's failure line other than RACE_PRESERVED is its outcome (its staging file and record are removed).
   * Resolves to what the operation resolves to: a staged create's new file's description, else undefined. */
  run(record: CreatePrivateFileStagedRecord, content: Uint8Array): Promise<FileDescriptionResult>;
  run(record: OperationRecord, content?: Uint8Array | null): Promise<FileDescriptionResult | undefined>;
  /** Settles one entry and removes it unless the outcome is `needs attention`. */
  settle(entry: JournalEntry, options?: { redo?: boolean }): Promise<Settlement>;
}
/** Settles every record of the journal (application start-up), in the order of their names; rejects as
 * `entries` does. */
export function settleAll(journal: Journal, options?: { redo?: boolean }): Promise<Settlement[]>;
