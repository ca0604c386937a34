// The bytes for the helper's standard input, as an announced size and an async iterable of chunks: from a
// buffer, from an open file handle, or from a stream whose size the caller gives. The chunks are counted and
// hashed as they are handed to the helper, so that a create can describe its file without reading it back.

import { createHash } from 'node:crypto';

const CHUNK_SIZE = 65536;

function* slices(bytes) {
  for (let at = 0; at < bytes.length; at += CHUNK_SIZE) yield bytes.subarray(at, at + CHUNK_SIZE);
}

function isFileHandle(data) {
  return typeof data?.fd === 'number' && typeof data.read === 'function' && typeof data.stat === 'function';
}

// A file that shrank since its size was taken ends the input early; the helper then refuses the short input.
async function* fileChunks(handle, size) {
  let offset = 0;
  while (offset < size) {
    const buffer = Buffer.allocUnsafe(Math.min(CHUNK_SIZE, size - offset));
    const { bytesRead } = await handle.read(buffer, 0, buffer.length, offset);
    if (bytesRead === 0) return;
    offset += bytesRead;
    yield buffer.subarray(0, bytesRead);
  }
}

// The last chunk is held back until the stream has ended, so that a stream longer than its announced size is
// refused while the helper has not yet seen all the bytes: its input then ends short and nothing is created.
async function* streamChunks(stream, size) {
  let seen = 0;
  let held = null;
  for await (const chunk of stream) {
    if (!(chunk instanceof Uint8Array)) throw new TypeError('a content stream must give bytes, not strings');
    if (chunk.length === 0) continue;
    seen += chunk.length;
    if (seen > size) throw new RangeError(`the content stream gave more than its announced ${size} bytes`);
    if (held !== null) yield* slices(held);
    held = chunk;
  }
  if (held !== null) yield* slices(held);
}

// Counts and hashes every chunk as it is handed on: `sent` and `digest` are of the bytes given to the helper.
function counted(size, source) {
  const content = { size, sent: 0, digest: createHash('sha256'), chunks: null };
  content.chunks = (async function* () {
    for await (const chunk of source) {
      content.digest.update(chunk);
      content.sent += chunk.length;
      yield chunk;
    }
  })();
  return content;
}

/** `{ size, chunks, sent, digest }` for a Uint8Array, a FileHandle (read from offset 0 to its end, its
 * position unused) or `{ stream, size }` (an async iterable of Uint8Array chunks giving exactly `size`
 * bytes); `sent` and `digest` (a SHA-256 hash) follow the chunks as they are taken. */
export async function contentOf(data) {
  if (data instanceof Uint8Array) return counted(data.length, slices(data));
  if (isFileHandle(data)) {
    const status = await data.stat();
    if (!status.isFile()) throw new TypeError('a file handle that is not a regular file has no known size');
    return counted(status.size, fileChunks(data, status.size));
  }
  if (data !== null && typeof data === 'object' && data.stream?.[Symbol.asyncIterator] !== undefined) {
    const size = Number(data.size);
    if (!Number.isSafeInteger(size) || size < 0) throw new RangeError('a content stream needs its size in bytes');
    if (size === 0) {
      // Nothing is held back of an empty input: the stream is read to its end before the run starts.
      for await (const chunk of streamChunks(data.stream, 0)) throw new RangeError(`unexpected chunk ${chunk.length}`);
    }
    return counted(size, streamChunks(data.stream, size));
  }
  throw new TypeError('content must be a Uint8Array, a FileHandle or { stream, size }');
}
