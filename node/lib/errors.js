// Failures as errors. A failure line from the helper rejects with AnchorfsError (or the subclass its code
// names) carrying the line's code and errno. An answer that breaks the protocol rejects with HelperError: it
// is no answer, and a mutating command may or may not have taken effect.

function describe(paths) {
  return paths.length ? ` [${paths.join(', ')}]` : '';
}

/** The helper reported a failure: `code` as the line spells it ("ENOENT", ...) and its `errno`. */
export class AnchorfsError extends Error {
  constructor(command, code, errno, paths = [], detail = '') {
    super(`${command}: ${code !== null ? `${code} (errno ${errno})` : detail}${describe(paths)}`);
    this.name = new.target.name;
    this.command = command;
    this.code = code;
    this.errno = errno;
    this.paths = paths;
  }
}

/** INVALID_PROTOCOL: the command line itself was refused (exit status 2); nothing was touched. */
export class ProtocolError extends AnchorfsError {}
/** ROOT_IDENTITY_CHANGED: the root is not the directory of the anchor; nothing was touched. */
export class RootIdentityChanged extends AnchorfsError {}
/** IDENTITY_CHANGED: a directory or file is no longer the one that was described or proven. */
export class IdentityChanged extends AnchorfsError {}
/** RACE_ROLLED_BACK: a check after the mutation failed and the mutation was undone. */
export class RaceRolledBack extends AnchorfsError {}
/** RACE_PRESERVED: a check after the mutation failed and the new state had to stay in place. */
export class RacePreserved extends AnchorfsError {}

/**
 * The helper could not be run or its output broke the protocol; `code` is null. `reason` names what was
 * wrong ("malformed_line", "exit_status_mismatch", ...), `errno` the system error behind it (else 0), `line`
 * the result line as far as there was one, `exitStatus` (-1 when none) and `signal` (0 when none) how the
 * helper ended.
 */
export class HelperError extends AnchorfsError {
  constructor(command, reason, { errno = 0, line = '', exitStatus = -1, signal = 0, paths = [] } = {}) {
    let detail = `helper error ${reason}` + (errno ? ` (errno ${errno})` : '');
    detail += exitStatus >= 0 ? `, exit status ${exitStatus}` : '';
    detail += signal ? `, signal ${signal}` : '';
    detail += line ? `, line ${JSON.stringify(line.slice(0, 200))}` : '';
    super(command, null, errno, paths, detail);
    this.reason = reason;
    this.line = line;
    this.exitStatus = exitStatus;
    this.signal = signal;
  }
}

/** Exit status 11: the helper could not write its result whole; the command may have taken effect. */
export class ResultNotDelivered extends HelperError {}
/** The run outlived its timeout and was cancelled; the command may have taken effect. */
export class HelperTimeout extends HelperError {}
/** The run was cancelled through its AbortSignal; the command may have taken effect. */
export class HelperCancelled extends HelperError {}

// The failure codes with a class of their own; every other known code rejects with AnchorfsError.
export const CODE_CLASSES = {
  INVALID_PROTOCOL: ProtocolError,
  ROOT_IDENTITY_CHANGED: RootIdentityChanged,
  IDENTITY_CHANGED: IdentityChanged,
  RACE_ROLLED_BACK: RaceRolledBack,
  RACE_PRESERVED: RacePreserved,
};
