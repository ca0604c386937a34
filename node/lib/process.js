// Starting the helper and talking to it: content in, line and bytes out, each side at its own pace, so that
// neither can block the other whatever the sizes (64 MiB in while nothing comes out, or 64 MiB out after a
// line). A write the helper no longer reads (EPIPE) only ends the input: its line is still read.

import { spawn } from 'node:child_process';
import { constants } from 'node:os';
import { MAX_LINE_LENGTH, newOutput } from './result_line.js';

/**
 * How long a cancelled run is given to end on its own after its input was closed, before it is killed:
 * 2 seconds, as in the other clients. A run reading content sees the short input in that time and removes
 * the file it made; a command that reads none is killed at the end of it.
 */
export const GRACE_MS = 2000;

const LF = 0x0a;

function errnoOf(error) {
  if (typeof error?.errno === 'number' && error.errno !== 0) return Math.abs(error.errno);
  return constants.errno[error?.code] ?? 0;
}

// Resolves true once `chunk` is taken (at once, or after the pipe drained), false when the input closed.
function write(stdin, chunk) {
  return new Promise((resolve) => {
    if (stdin.destroyed || stdin.writableEnded) { resolve(false); return; }
    if (stdin.write(chunk)) { resolve(true); return; }
    const done = (taken) => {
      stdin.off('drain', drained); stdin.off('close', closed);
      resolve(taken);
    };
    const drained = () => done(true);
    const closed = () => done(false);
    stdin.on('drain', drained);
    stdin.on('close', closed);
  });
}

/**
 * Runs the helper with `argv` (argv[0] its path) with no shell and an empty environment, writes `content`
 * (an async iterable of byte chunks, or null) to its standard input and closes it, reads its result line and
 * hands the bytes the line allows after it to `sink` (`{ write(chunk) -> boolean, wait() -> Promise }`),
 * notes any byte on standard error, and waits for it to end. A helper that sends more than its answer may
 * hold is killed; a cancelled run (timeout or abort) has its input closed and is killed after GRACE_MS.
 * Resolves the run's Output; rejects with `{ spawnError }` when it could not be started, or with the
 * content source's or sink's own error once the helper has ended.
 */
export function exchange(argv, content, { timeoutMs, signal }, allowance, sink) {
  return new Promise((resolve, reject) => {
    const output = newOutput();
    let failure = null; // the content source's or sink's error
    let settled = false;
    let killedByUs = false;
    const timers = [];
    const child = spawn(argv[0], argv.slice(1), { env: {}, stdio: 'pipe', shell: false, windowsHide: true });
    const { stdin, stdout, stderr } = child;

    const kill = () => {
      killedByUs = true;
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    };
    // What comes after this is no answer: it is read and dropped, so that the pipe's end is seen even while a
    // sink holds the output paused.
    const stopReading = () => { stdout.removeListener('data', onData); stdout.resume(); };
    const cancel = (kind) => {
      if (settled || output.cancelled !== null) return;
      output.cancelled = kind;
      stdin.destroy(); // polite first: a run reading content sees a short input and undoes its file
      timers.push(setTimeout(() => { kill(); stopReading(); }, GRACE_MS));
    };
    const onAbort = () => cancel('abort');
    const finish = (action) => {
      if (settled) return;
      settled = true;
      timers.forEach(clearTimeout);
      signal?.removeEventListener('abort', onAbort);
      action();
    };

    child.on('error', (error) => {
      if (child.pid === undefined) finish(() => reject({ spawnError: error, errno: errnoOf(error) }));
    });
    stdin.on('error', () => {}); // EPIPE and the like: the helper decided without the rest
    if (timeoutMs !== undefined && timeoutMs !== null) timers.push(setTimeout(() => cancel('timeout'), timeoutMs));
    signal?.addEventListener('abort', onAbort);
    if (signal?.aborted) cancel('abort');

    (async () => {
      if (content !== null) {
        for await (const chunk of content) {
          if (output.cancelled !== null || !(await write(stdin, chunk))) return;
        }
      }
      if (!stdin.destroyed) stdin.end();
    })().catch((error) => {
      failure ??= error;
      stdin.destroy(); // a short input: the helper refuses it and removes what it made
    });

    stderr.on('data', () => { output.stderrWritten = true; });
    const overflow = () => { output.overflowed = true; stopReading(); kill(); };
    const deliver = (data) => {
      const room = output.contentLimit - output.afterLine;
      const part = data.subarray(0, room);
      if (part.length) {
        output.afterLine += part.length;
        if (!sink.write(part)) {
          stdout.pause();
          sink.wait().then(() => stdout.resume(), (error) => { failure ??= error; kill(); stdout.resume(); });
        }
      }
      if (data.length > room) overflow();
    };
    const onData = (data) => {
      if (output.hasLine) { deliver(data); return; }
      output.head = Buffer.concat([output.head, data]);
      const end = output.head.indexOf(LF);
      if (end < 0) {
        if (output.head.length > MAX_LINE_LENGTH) overflow();
        return;
      }
      const rest = output.head.subarray(end + 1);
      output.head = output.head.subarray(0, end);
      output.hasLine = true;
      output.contentLimit = allowance(output.head);
      deliver(rest);
    };
    stdout.on('data', onData);

    child.on('close', (code, signalName) => {
      if (code !== null) output.exitStatus = code;
      else if (!killedByUs || output.cancelled !== null) output.signal = constants.signals[signalName] ?? 0;
      finish(() => (failure !== null ? reject(failure) : resolve(output)));
    });
  });
}
