// The extension's side of tamberlo-host: a port that matches replies to requests, and saves into
// Downloads that stream their source, keep several chunks on the way and can be resumed from
// the part file a crash left.
import { toBase64 } from "./base64.js";

export { toBase64, toBase64Portable } from "./base64.js";

/** The name under which the host is registered by tamberlo-register. */
export const HOST_NAME = "tamberlo.host";

// Bytes per chunk message: 512 KiB is 699,052 characters of base64, under the ~960 KB above
// which Chromium copies each message several times into fresh memory, and small enough that
// Firefox's writer, which copies the rest of a message after each partial pipe write, stays
// fast. Measured in both browsers: larger chunks are slower, smaller ones cost more messages.
export const DEFAULT_CHUNK_BYTES = 512 * 1024;
// Chunks on the way at once: enough to keep the browser, the pipe and the host busy together.
export const DEFAULT_IN_FLIGHT = 8;

/**
 * @typedef {import("./types.js").Reply} Reply
 * @typedef {import("./types.js").Port} Port
 * @typedef {import("./types.js").NativePort} NativePort
 * @typedef {import("./types.js").SaveOptions} SaveOptions
 * @typedef {import("./types.js").Source} Source
 * @typedef {import("./types.js").PartFile} PartFile
 * @typedef {import("./types.js").Opened} Opened
 */

/** The browser's runtime: `browser.runtime` in Firefox, `chrome.runtime` in Chromium. */
function defaultRuntime() {
  const g = /** @type {any} */ (globalThis);
  const runtime = g.browser?.runtime ?? g.chrome?.runtime;
  if (!runtime?.connectNative) throw new Error("no runtime.connectNative here");
  return runtime;
}

/**
 * Starts the host behind a new port (runtime.connectNative).
 * @param {string} [hostName]
 * @param {any} [runtime]
 * @returns {Port}
 */
export function connect(hostName = HOST_NAME, runtime = defaultRuntime()) {
  return wrapPort(runtime.connectNative(hostName), runtime);
}

/**
 * Makes a Port of a runtime.Port (or anything with its shape). The host answers every message
 * exactly once and in order, so the n-th reply belongs to the n-th message that was posted.
 * @param {NativePort} port
 * @param {any} [runtime] where Chromium puts the disconnect reason (runtime.lastError)
 * @returns {Port}
 */
export function wrapPort(port, runtime) {
  /** @type {{resolve: (reply: Reply) => void, reject: (error: Error) => void}[]} */
  const waiting = [];
  /** @type {Error | null} */
  let closed = null;
  port.onMessage.addListener((/** @type {Reply} */ reply) => waiting.shift()?.resolve(reply));
  port.onDisconnect.addListener(() => {
    // Firefox gives the reason on the port, Chromium in lastError (which must be read here).
    const reason = port.error?.message ?? runtime?.lastError?.message ?? "no reason given";
    closed = new Error(`host disconnected: ${reason}`);
    for (const waiter of waiting.splice(0)) waiter.reject(closed);
  });
  return {
    send(message) {
      if (closed) return Promise.reject(closed);
      return new Promise((resolve, reject) => {
        const waiter = { resolve, reject };
        waiting.push(waiter);
        try {
          port.postMessage(message);
        } catch (error) {
          // Nothing was sent, so no reply will come for it: the waiter goes, the queue stays in
          // step.
          waiting.splice(waiting.lastIndexOf(waiter), 1);
          reject(error);
        }
      });
    },
    get closed() {
      return closed;
    },
    close() {
      if (closed) return;
      closed = new Error("port closed");
      for (const waiter of waiting.splice(0)) waiter.reject(closed);
      port.disconnect();
    },
  };
}

/**
 * A reply's failure as an Error, or the reply.
 * @param {string} type
 * @param {Reply} reply
 */
function expectOk(type, reply) {
  if (reply.ok !== true) {
    const error = new Error(`${type}: ${reply.error ?? JSON.stringify(reply)}`);
    /** @type {any} */ (error).storage = reply.storage === true;
    throw error;
  }
  return reply;
}

/**
 * @param {Port} port
 * @param {Record<string, unknown>} message
 */
async function request(port, message) {
  return expectOk(/** @type {string} */ (message.type), await port.send(message));
}

/**
 * The source made ready to be read from byte `from` on. A URL is fetched, asking for the range
 * from there on; a server that answers with the whole file has its first `from` bytes skipped.
 * @param {Source} source
 * @param {number} from
 * @param {AbortSignal} [signal]
 * @returns {Promise<Opened>}
 */
async function openSource(source, from, signal) {
  if (typeof source === "string" || source instanceof URL) {
    const headers = from > 0 ? { Range: `bytes=${from}-` } : undefined;
    const response = await fetch(source, { headers, signal });
    if (response.status === 416) {
      // Nothing from there on: whole when the file is exactly that long.
      const whole = /^bytes \*\/(\d+)$/.exec(response.headers.get("content-range") ?? "");
      if (whole && Number(whole[1]) === from) {
        return { body: new Uint8Array(0), skip: 0, total: from };
      }
    }
    if (response.status === 206) {
      // Only a range that starts where it was asked counts; anything else is read from 0.
      const range = /^bytes (\d+)-\d+\/(\d+|\*)$/.exec(response.headers.get("content-range") ?? "");
      if (range && Number(range[1]) === from) {
        const total = range[2] === "*" ? undefined : Number(range[2]);
        return { body: bodyOf(response), skip: 0, total };
      }
      await response.body?.cancel();
      return openSource(source, 0, signal).then((opened) => ({ ...opened, skip: from }));
    }
    if (!response.ok) throw new Error(`fetch: ${response.status} ${response.statusText}`);
    return { body: bodyOf(response), skip: from, total: lengthOf(response) };
  }
  if (typeof Response !== "undefined" && source instanceof Response) {
    if (!source.ok) throw new Error(`fetch: ${source.status} ${source.statusText}`);
    return { body: bodyOf(source), skip: from, total: lengthOf(source) };
  }
  if (typeof Blob !== "undefined" && source instanceof Blob) {
    return { body: source, skip: from, total: source.size };
  }
  if (source instanceof ArrayBuffer) source = new Uint8Array(source);
  if (ArrayBuffer.isView(source)) {
    const bytes = new Uint8Array(source.buffer, source.byteOffset, source.byteLength);
    return { body: bytes, skip: from, total: bytes.length };
  }
  if (source && typeof (/** @type {any} */ (source).getReader) === "function") {
    return { body: /** @type {ReadableStream<Uint8Array>} */ (source), skip: from, total: undefined };
  }
  throw new TypeError("source: a URL, Response, ReadableStream, Blob or bytes");
}

/** @param {Response} response */
function bodyOf(response) {
  return response.body ?? new Uint8Array(0);
}

/** @param {Response} response */
function lengthOf(response) {
  const length = response.headers.get("content-length");
  // A compressed response's length is not the file's.
  if (length === null || response.headers.get("content-encoding")) return undefined;
  return Number(length);
}

/**
 * The source's bytes from `skip` on, as chunks of `size` bytes (the last may be shorter). A
 * chunk is only valid until the next one is asked for: a stream's pieces are gathered in one
 * buffer that is used again.
 * @param {ReadableStream<Uint8Array> | Blob | Uint8Array} body
 * @param {number} skip
 * @param {number} size
 * @returns {AsyncGenerator<Uint8Array>}
 */
async function* chunks(body, skip, size) {
  if (body instanceof Uint8Array) {
    if (skip > body.length) throw new Error(`the source has ${body.length} bytes, fewer than ${skip}`);
    for (let at = skip; at < body.length; at += size) yield body.subarray(at, at + size);
    return;
  }
  if (typeof Blob !== "undefined" && body instanceof Blob) {
    if (skip > body.size) throw new Error(`the source has ${body.size} bytes, fewer than ${skip}`);
    // The next slice is read while this one is on its way.
    let next = skip < body.size ? body.slice(skip, skip + size).arrayBuffer() : null;
    for (let at = skip; next; at += size) {
      const bytes = new Uint8Array(await next);
      next = at + size < body.size ? body.slice(at + size, at + 2 * size).arrayBuffer() : null;
      yield bytes;
    }
    return;
  }
  const reader = /** @type {ReadableStream<Uint8Array>} */ (body).getReader();
  try {
    const buffer = new Uint8Array(size);
    let filled = 0;
    let skipped = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      let piece = value;
      if (skipped < skip) {
        const drop = Math.min(skip - skipped, piece.length);
        skipped += drop;
        piece = piece.subarray(drop);
      }
      while (piece.length > 0) {
        if (filled === 0 && piece.length >= size) {
          yield piece.subarray(0, size);  // whole chunks of a large piece go uncopied
          piece = piece.subarray(size);
          continue;
        }
        const take = Math.min(size - filled, piece.length);
        buffer.set(piece.subarray(0, take), filled);
        filled += take;
        piece = piece.subarray(take);
        if (filled === size) {
          yield buffer;
          filled = 0;
        }
      }
    }
    if (skipped < skip) throw new Error(`the source has ${skipped} bytes, fewer than ${skip}`);
    if (filled > 0) yield buffer.subarray(0, filled);
  } finally {
    await reader.cancel().catch(() => {});
    reader.releaseLock();
  }
}

/**
 * Writes the source from `offset` on into `part`, several chunks on the way at once, and ends
 * the transfer under `name`. Throws on the first failure, with no chunk left on the way.
 * @param {Port} port
 * @param {string} part
 * @param {string} name
 * @param {Opened} opened
 * @param {number} offset
 * @param {SaveOptions} options
 */
async function transfer(port, part, name, opened, offset, options) {
  const chunkBytes = options.chunkBytes ?? DEFAULT_CHUNK_BYTES;
  // Messages to hosts of their own may overtake each other: their chunks go one at a time.
  const inFlight = port.inOrder === false ? 1 : options.inFlight ?? DEFAULT_IN_FLIGHT;
  if (!(Number.isSafeInteger(chunkBytes) && chunkBytes > 0)) throw new RangeError("chunkBytes");
  if (!(Number.isSafeInteger(inFlight) && inFlight > 0)) throw new RangeError("inFlight");
  const { signal, onProgress } = options;
  const total = options.size ?? opened.total;
  /** @type {Promise<void>[]} */
  const onTheWay = [];
  let sent = offset;
  let failed = null;
  const settle = async () => {
    try {
      await onTheWay.shift();
    } catch (error) {
      failed ??= error;
    }
  };
  try {
    for await (const chunk of chunks(opened.body, opened.skip, chunkBytes)) {
      signal?.throwIfAborted();
      const at = sent;
      const expected = at + chunk.length;
      sent = expected;
      // Encoded now: the chunk's bytes may be reused once the next one is read.
      const message = { type: "file.write.chunk", part, offset: at, data: toBase64(chunk) };
      onTheWay.push(port.send(message).then((reply) => {
        expectOk("file.write.chunk", reply);
        if (reply.size !== expected) {
          throw new Error(`file.write.chunk at ${at}: the part file holds ${reply.size} bytes`);
        }
        onProgress?.(expected, total);
      }));
      while (onTheWay.length >= inFlight || (failed && onTheWay.length > 0)) await settle();
      if (failed) throw failed;
    }
    while (onTheWay.length > 0) await settle();
    if (failed) throw failed;
    signal?.throwIfAborted();
  } catch (error) {
    // No chunk may land after the caller hears of the failure (or after the abort below).
    while (onTheWay.length > 0) await settle();
    throw error;
  }
  if (total !== undefined && sent !== total) {
    throw new Error(`the source gave ${sent} bytes, not ${total}`);
  }
  const ended = await request(port, { type: "file.write.end", part, name, size: sent });
  return /** @type {string} */ (ended.name);
}

/**
 * @param {Port} port
 * @param {string} part
 */
async function removePart(port, part) {
  await port.send({ type: "file.write.abort", part }).catch(() => {});
}

/**
 * Saves the source into Downloads under `name`, or its first free numbered variant; resolves
 * with the name it was saved under. On failure, and when `signal` aborts, the part file is
 * removed.
 * @param {Port} port
 * @param {string} name
 * @param {Source} source
 * @param {SaveOptions} [options]
 * @returns {Promise<string>}
 */
export async function save(port, name, source, options = {}) {
  options.signal?.throwIfAborted();
  const begun = await request(port, { type: "file.write.begin", name });
  const part = /** @type {string} */ (begun.part);
  try {
    options.onBegin?.(part);
    const opened = await openSource(source, 0, options.signal);
    return await transfer(port, part, name, opened, 0, options);
  } catch (error) {
    await removePart(port, part);
    throw error;
  }
}

/**
 * Continues a save that a crash or a closed browser interrupted: `source` is the whole file
 * again. The part file's length is asked for and that many bytes of the source are skipped (or,
 * for a URL, asked of the server as a range); nothing below that length is ever written. On
 * failure the part file stays, to be resumed again; when `signal` aborts it is removed.
 * @param {Port} port
 * @param {string} part
 * @param {string} name
 * @param {Source} source
 * @param {SaveOptions} [options]
 * @returns {Promise<string>}
 */
export async function resume(port, part, name, source, options = {}) {
  options.signal?.throwIfAborted();
  const length = await status(port, part);
  const opened = await openSource(source, length, options.signal);
  const total = options.size ?? opened.total;
  if (total !== undefined && total < length) {
    throw new Error(`the part file holds ${length} bytes, more than the source's ${total}`);
  }
  try {
    return await transfer(port, part, name, opened, length, options);
  } catch (error) {
    if (options.signal?.aborted) await removePart(port, part);
    throw error;
  }
}

/**
 * The length of a part file, without changing it.
 * @param {Port} port
 * @param {string} part
 * @returns {Promise<number>}
 */
export async function status(port, part) {
  return /** @type {number} */ ((await request(port, { type: "file.write.status", part })).size);
}

/**
 * The part files in Downloads: transfers in progress or left by a crash.
 * @param {Port} port
 * @returns {Promise<PartFile[]>}
 */
export async function parts(port) {
  return /** @type {PartFile[]} */ ((await request(port, { type: "file.write.list" })).parts);
}

/**
 * Removes a part file (none there is no failure).
 * @param {Port} port
 * @param {string} part
 */
export async function abort(port, part) {
  await request(port, { type: "file.write.abort", part });
}

/**
 * The name under which `name` stands in Downloads, or null. With `after` (a Date or
 * milliseconds since 1970), the earliest copy of it ("name (n).ext") made from then on.
 * @param {Port} port
 * @param {string} name
 * @param {number | Date} [after]
 * @returns {Promise<string | null>}
 */
export async function find(port, name, after) {
  /** @type {Record<string, unknown>} */
  const message = { type: "file.exists", name };
  if (after !== undefined) message.after = Number(after);
  const reply = await port.send(message);
  if (reply.error !== undefined) throw new Error(`file.exists: ${reply.error}`);
  return reply.exists ? /** @type {string} */ (reply.name) : null;
}

/**
 * Opens a saved file with the user's default application for it.
 * @param {Port} port
 * @param {string} name
 */
export async function open(port, name) {
  await request(port, { type: "file.open", name });
}

/**
 * Shows a saved file selected in the file manager.
 * @param {Port} port
 * @param {string} name
 */
export async function reveal(port, name) {
  await request(port, { type: "file.reveal", name });
}

/**
 * The host's version, "x.y.z".
 * @param {Port} port
 * @returns {Promise<string>}
 */
export async function version(port) {
  return /** @type {string} */ ((await request(port, { type: "file.version" })).version);
}
