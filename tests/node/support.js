// Shared pieces of the Node client's tests: the built program, scratch roots with small trees, and fake
// helpers that print a given answer.

import { chmodSync, existsSync, lstatSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync }
  from 'node:fs';
import { after } from 'node:test';
import { join } from 'node:path';
import * as anchorfs from '../../node/index.js';

export const BINARY = process.env.ANCHORFS_BINARY ?? '';
const made = [];
after(() => made.forEach((d) => rmSync(d, { recursive: true, force: true })));

function scratchDirectory(prefix) {
  const directory = mkdtempSync(`/tmp/${prefix}`);
  made.push(directory);
  return directory;
}

/** A temporary root (0755) holding a tree built from lines: "d/" is a directory, "f=text" a file with that
 * content. Everything below a top-level name starting with "p" is private (0700 / 0600), the rest 0755 /
 * 0644. */
export async function scratch(lines = []) {
  const path = join(scratchDirectory('anchorfs-node-'), 'root');
  mkdirSync(path, 0o755);
  const at = (relative) => join(path, relative.replace(/\/$/, ''));
  for (const line of lines) {
    const [name, ...text] = line.split('=');
    const privateName = name.startsWith('p');
    if (name.endsWith('/')) mkdirSync(at(name));
    else writeFileSync(at(name), text.join('='));
    chmodSync(at(name), name.endsWith('/') ? (privateName ? 0o700 : 0o755) : (privateName ? 0o600 : 0o644));
  }
  return {
    path, at, root: await anchorfs.anchorRoot(path),
    exists: (relative) => existsSync(at(relative)) || lstatExists(at(relative)),
    content: (relative) => readFileSync(at(relative)),
    status: (relative) => lstatSync(at(relative), { bigint: true }),
    describe: (relative) => anchorfs.describeFile(at(relative)),
    identity: (relative) => anchorfs.identity(at(relative)),
  };
}

function lstatExists(path) {
  try { lstatSync(path); return true; } catch { return false; }
}

/** A program that prints `stdout` and `stderr` and exits with `status`, after running `body` (shell). It
 * keeps a copy of its argument vector and environment beside itself. */
export function fakeHelper(stdout, stderr = '', status = 0, body = '') {
  const directory = scratchDirectory('anchorfs-fake-');
  writeFileSync(join(directory, 'out'), stdout);
  writeFileSync(join(directory, 'err'), stderr);
  const script = join(directory, 'anchorfs');
  writeFileSync(script, `#!/bin/sh
d=${directory}
printf '%s\\n' "$@" > "$d/args"
/usr/bin/env > "$d/env"
${body}
/bin/cat "$d/out"
/bin/cat "$d/err" >&2
exit ${status}
`, { mode: 0o700 });
  return script;
}
