// Node.js client of anchorfs: one anchored filesystem operation per run of the helper program.
//
//   import { Helper, anchorRoot } from 'anchorfs';
//   const helper = new Helper();
//   const root = await anchorRoot('/srv/media');
//   await helper.ensureDir(root, 'photos');
//   await helper.createFile(root, 'photos/a.txt', 0o644, Buffer.from('hello\n'));
//
// Node's own modules only. Failures reject with AnchorfsError (and its subclasses); output that does not
// follow the protocol rejects with HelperError. Operation records and the journal that keeps them until they
// are settled (Journal, settleAll, prepare*) are in the JSON form every anchorfs client reads and writes.

export { AnchorfsError, HelperCancelled, HelperError, HelperTimeout, IdentityChanged, ProtocolError, RacePreserved,
  RaceRolledBack, ResultNotDelivered, RootIdentityChanged } from './lib/errors.js';
export { QUARANTINE_PREFIX, anchorRoot, describeFile, describeHandle, identity, newQuarantineLeaf } from './lib/files.js';
export { Helper, installedProgram } from './lib/helper.js';
export { GRACE_MS } from './lib/process.js';
export { MAX_CONTENT_SIZE, bookmarkedParent } from './lib/records.js';
export { JOURNAL_DIRECTORY, Journal, MAX_RECORD_SIZE, Outcome, RECORD_SUFFIX, runRecord, settle, settleAll }
  from './lib/journal.js';
export { Operation, RECORD_VERSION, RecordError, STAGING_PREFIX, decodeRecord, encodeRecord, prepareCreatePrivateFileStaged,
  prepareLinkExcl, prepareRenameExcl, prepareRenameSwap, prepareUnlinkChecked } from './lib/operation_record.js';
