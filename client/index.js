// The extension's side of tamberlo-host: a port that matches replies to requests, and transfers
// into Downloads that stream their source, keep several chunks on the way, keep their part file
// on every failure but a cancel, and resume only from the same version of the file.
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

// The channel (a WebSocket to the host, for the bytes only): pieces of this many bytes, at most
// this many of them not yet acknowledged by the host.
export const DEFAULT_CHANNEL_BYTES = 8 * 1024 * 1024;
export const DEFAULT_CHANNEL_IN_FLIGHT = 3;

/** The reason to abort a signal with (`controller.abort(PAUSE)`) to stop and keep the part. */
export const PAUSE = "tamberlo.pause";

/** The storage key of a part this library began: the prefix, then the part file's name. */
export const REGISTRY_PREFIX = "tamberlo.part:";

/** The longest name, in UTF-8 bytes, that can be saved: its part name adds ".part" (5 bytes)
 * and file systems allow 255. */
export const MAX_NAME_BYTES = 250;

// The longest "url" and "referrer" the host records with a saved file, in UTF-8 bytes.
const MAX_ORIGIN_BYTES = 8192;

/**
 * @typedef {import("./types.js").Reply} Reply
 * @typedef {import("./types.js").Replies} Replies
 * @typedef {import("./types.js").Port} Port
 * @typedef {import("./types.js").NativePort} NativePort
 * @typedef {import("./types.js").SaveOptions} SaveOptions
 * @typedef {import("./types.js").BeginOptions} BeginOptions
 * @typedef {import("./types.js").WriteOptions} WriteOptions
 * @typedef {import("./types.js").RequestOptions} RequestOptions
 * @typedef {import("./types.js").TransferRecord} TransferRecord
 * @typedef {import("./types.js").Store} Store
 * @typedef {import("./types.js").ErrorCode} ErrorCode
 * @typedef {import("./types.js").Source} Source
 * @typedef {import("./types.js").PartFile} PartFile
 * @typedef {import("./types.js").Opened} Opened
 */

/** A failure of the host, the source or the transfer, with a code from a closed list. */
export class TamberloError extends Error {
  /**
   * @param {ErrorCode} code
   * @param {string} message the host's text where the host refused
   * @param {{status?: number, record?: TransferRecord, storage?: boolean, reason?: string}} [extra]
   */
  constructor(code, message, extra = {}) {
    super(message);
    this.name = "TamberloError";
    /** @type {ErrorCode} */
    this.code = code;
    /** True when a file operation of the host failed for want of space. */
    this.storage = extra.storage === true;
    /** @type {number | undefined} the HTTP status, for "http" */
    this.status = extra.status;
    /** @type {TransferRecord | undefined} where the part file was kept, to resume it */
    this.record = extra.record;
    /** @type {string | undefined} the browser's reason, for "host-gone" */
    this.reason = extra.reason;
  }
}

/**
 * The code of a host's refusal text.
 * @param {string} text
 * @param {boolean} storage
 * @returns {ErrorCode}
 */
function codeOf(text, storage) {
  if (storage || text === "Cannot write the file: the volume is out of space.") return "disk-full";
  if (text === "not a file name") return "name-invalid";
  if (text === "no Downloads folder") return "no-downloads";
  if (text === "not a part file") return "not-a-part";
  if (/^written \d+ of \d+ bytes$/.test(text)) return "size-mismatch";
  if (/^offset \d+ (past|before) the end \d+$/.test(text)) return "offset";
  // The file errors: a part file that is missing, not a regular file or has other names is no
  // part the host may use; a name taken or replaced during the final move.
  if (/: (the file does not exist|it is not a regular file|it has other names \(hard links\))\.$/
    .test(text)) return "not-a-part";
  if (/: (a file of that name exists|another file took its place)\.$/.test(text)) return "exists";
  return "refused";
}

/**
 * A reply's failure as a TamberloError, or the reply.
 * @template {keyof Replies} T
 * @param {T} type
 * @param {Reply} reply
 * @returns {Replies[T]}
 */
function expectOk(type, reply) {
  const failed = /** @type {{ok?: unknown, error?: unknown, storage?: unknown}} */ (reply);
  if (failed.ok !== true) {
    const text = typeof failed.error === "string" ? failed.error : `${type}: ${JSON.stringify(reply)}`;
    const storage = failed.storage === true;
    throw new TamberloError(codeOf(text, storage), text, { storage });
  }
  return /** @type {Replies[T]} */ (reply);
}

/**
 * @template {keyof Replies} T
 * @param {Port} port
 * @param {{type: T} & Record<string, unknown>} message
 * @returns {Promise<Replies[T]>}
 */
async function request(port, message) {
  return expectOk(message.type, await port.send(message));
}

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
  /** @type {TamberloError | null} */
  let closed = null;
  port.onMessage.addListener((/** @type {Reply} */ reply) => waiting.shift()?.resolve(reply));
  port.onDisconnect.addListener(() => {
    // Firefox gives the reason on the port, Chromium in lastError (which must be read here).
    const reason = port.error?.message ?? runtime?.lastError?.message ?? "no reason given";
    closed = new TamberloError("host-gone", `host disconnected: ${reason}`, { reason });
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
          reject(new TamberloError("refused", String(/** @type {any} */ (error)?.message ?? error)));
        }
      });
    },
    get closed() {
      return closed;
    },
    close() {
      if (closed) return;
      closed = new TamberloError("host-gone", "port closed", { reason: "port closed" });
      for (const waiter of waiting.splice(0)) waiter.reject(closed);
      port.disconnect();
    },
  };
}

// The registry of the parts this library began. Without the extension's storage (a page, Node),
// and unless the caller gives a store, it lives as long as the module.
const inMemory = new Map();

/**
 * The caller's store, else the extension's `storage.local`, else one in memory.
 * @param {{store?: Store}} options
 * @returns {Store}
 */
function storeOf(options) {
  if (options.store) return options.store;
  const g = /** @type {any} */ (globalThis);
  const area = (g.browser ?? g.chrome)?.storage?.local;
  if (area) {
    return {
      get: async (key) => (await area.get(key))?.[key],
      set: (key, value) => area.set({ [key]: value }),
      remove: (key) => area.remove(key),
    };
  }
  return {
    get: async (key) => inMemory.get(key),
    set: async (key, value) => void inMemory.set(key, structuredClone(value)),
    remove: async (key) => void inMemory.delete(key),
  };
}

/** @param {string} text */
const utf8Bytes = (text) => new TextEncoder().encode(text).length;

/** @param {Source} source */
const isUrl = (source) => typeof source === "string" || source instanceof URL;

/** @param {unknown} source @returns {source is Response} */
const isResponse = (source) => typeof Response !== "undefined" && source instanceof Response;

/**
 * The request options that can be stored as JSON: headers only when every name and value is a
 * plain string.
 * @param {RequestOptions} options
 * @returns {RequestOptions | undefined}
 */
function storableRequest(options) {
  /** @type {RequestOptions} */
  const kept = {};
  for (const key of /** @type {const} */ (["credentials", "referrer", "referrerPolicy", "cache"])) {
    if (typeof options[key] === "string") kept[key] = /** @type {any} */ (options[key]);
  }
  const headers = options.headers;
  if (headers !== undefined) {
    const entries = headers instanceof Headers ? [...headers]
      : Array.isArray(headers) ? headers : Object.entries(headers);
    if (entries.every((e) => e.length === 2 && e.every((v) => typeof v === "string"))) {
      kept.headers = Object.fromEntries(entries);
    }
  }
  return Object.keys(kept).length > 0 ? kept : undefined;
}

/** @param {Response} response */
function bodyOf(response) {
  return response.body ?? new Uint8Array(0);
}

/**
 * The whole file's length a response tells, where it does.
 * @param {Response} response
 */
function totalOf(response) {
  const range = contentRange(response);
  if (range) return range.total;
  const length = response.headers.get("content-length");
  // A compressed response's length is not the file's.
  if (length === null || response.headers.get("content-encoding")) return undefined;
  return Number(length);
}

/**
 * "Content-Range: bytes FIRST-LAST/TOTAL" (TOTAL may be "*"), or null.
 * @param {Response} response
 */
function contentRange(response) {
  const range = /^bytes (\d+)-(\d+)\/(\d+|\*)$/.exec(response.headers.get("content-range") ?? "");
  if (!range) return null;
  return {
    first: Number(range[1]),
    end: Number(range[2]) + 1,
    total: range[3] === "*" ? undefined : Number(range[3]),
  };
}

/** The strong ETag of a response, or undefined (a weak one cannot vouch for bytes).
 * @param {Response} response */
function strongEtag(response) {
  const etag = response.headers.get("etag");
  return etag && !etag.startsWith("W/") ? etag : undefined;
}

/**
 * The source's bytes made ready for the transfer, whose part file holds `from` bytes.
 * @param {Transfer} transfer
 * @param {Source} source
 * @param {WriteOptions} options
 * @param {AbortSignal} signal
 * @returns {Promise<Opened>}
 */
async function openSource(transfer, source, options, signal) {
  const from = transfer.size;
  if (isUrl(source)) {
    const ask = { ...transfer.record.request, ...options };
    /** @type {RequestInit} */
    const init = { signal };
    for (const key of /** @type {const} */ (["credentials", "referrer", "referrerPolicy", "cache"])) {
      if (ask[key] !== undefined) /** @type {any} */ (init)[key] = ask[key];
    }
    const get = async (/** @type {number} */ at) => {
      const headers = new Headers(/** @type {HeadersInit | undefined} */ (ask.headers));
      const validator = transfer.record.etag ?? transfer.record.modified;
      if (at > 0) headers.set("Range", `bytes=${at}-`);
      if (at > 0 && validator) headers.set("If-Range", validator);
      const response = await fetch(/** @type {string | URL} */ (source), { ...init, headers });
      if (at === 0 && !response.ok) {
        await response.body?.cancel().catch(() => {});
        throw new TamberloError("http", `${response.status} ${response.statusText}`.trim(),
          { status: response.status });
      }
      return response;
    };
    // A server that sends a range from elsewhere, to a transfer that knows nothing of the
    // file's version, is asked for the whole file again.
    const whole = async () => fromResponse(transfer, await get(0), from, null);
    return fromResponse(transfer, await get(from), from, whole);
  }
  if (isResponse(source)) return fromResponse(transfer, source, from, null);
  const at = options.at ?? 0;
  if (at > from) throw new TamberloError("offset", `offset ${at} past the end ${from}`);
  const skip = from - at;
  if (typeof Blob !== "undefined" && source instanceof Blob) {
    return { body: source, skip, end: at + source.size };
  }
  if (source instanceof ArrayBuffer) source = new Uint8Array(source);
  if (ArrayBuffer.isView(source)) {
    const bytes = new Uint8Array(source.buffer, source.byteOffset, source.byteLength);
    return { body: bytes, skip, end: at + bytes.length };
  }
  if (source && typeof (/** @type {any} */ (source).getReader) === "function") {
    return { body: /** @type {ReadableStream<Uint8Array>} */ (source), skip, end: undefined };
  }
  throw new TypeError("source: a URL, Response, ReadableStream, Blob or bytes");
}

/**
 * A response checked against the record, for a part file of `from` bytes: from 0 any success,
 * whose validators and length the record takes; further on only a 206 from `from` of the same
 * version and total. A transfer without validators or total (the part-name form of resume)
 * takes a whole 200 and skips what it has.
 * @param {Transfer} transfer
 * @param {Response} response
 * @param {number} from
 * @param {(() => Promise<Opened>) | null} refetch the whole file again, for a URL
 * @returns {Promise<Opened>}
 */
async function fromResponse(transfer, response, from, refetch) {
  const record = transfer.record;
  const changed = async (/** @type {string} */ why) => {
    await response.body?.cancel().catch(() => {});
    return new TamberloError("source-changed", why, { status: response.status });
  };
  const range = response.status === 206 ? contentRange(response) : null;
  const etag = strongEtag(response);
  const modified = response.headers.get("last-modified") ?? undefined;
  if (response.status === 416 && from > 0) {
    // Nothing from there on: whole when the file is exactly that long.
    const whole = /^bytes \*\/(\d+)$/.exec(response.headers.get("content-range") ?? "");
    if (whole && Number(whole[1]) === from && (record.total ?? from) === from) {
      return { body: new Uint8Array(0), skip: 0, end: from };
    }
    throw await changed(`the server has nothing from byte ${from} (${response.status})`);
  }
  if (!response.ok) {
    await response.body?.cancel().catch(() => {});
    throw new TamberloError("http", `${response.status} ${response.statusText}`.trim(),
      { status: response.status });
  }
  if (from === 0 && (!range || range.first === 0)) {
    // The first bytes: this response is the version the transfer keeps to.
    record.etag = etag;
    record.modified = etag ? undefined : modified;
    if (!etag) delete record.etag;
    if (!record.modified) delete record.modified;
    const total = totalOf(response);
    if (record.total === undefined && total !== undefined) record.total = total;
    await transfer.store();
    const end = range ? range.end : totalOf(response);
    return { body: bodyOf(response), skip: 0, end };
  }
  const loose = record.etag === undefined && record.modified === undefined &&
    record.total === undefined;
  if (!range) {
    if (!loose) throw await changed(`the server sent the whole file (${response.status}), not the rest from byte ${from}`);
    // Read from 0, the first `from` bytes passed over.
    return { body: bodyOf(response), skip: from, end: totalOf(response) };
  }
  if (range.first !== from) {
    if (loose && refetch) {
      await response.body?.cancel().catch(() => {});
      return refetch();
    }
    throw await changed(`the server sent bytes from ${range.first}, not from ${from}`);
  }
  if (record.total !== undefined ? range.total !== record.total : false) {
    throw await changed(`the file is ${range.total ?? "of unknown length"} bytes, not ${record.total}`);
  }
  if (record.etag !== undefined && etag !== undefined && etag !== record.etag) {
    throw await changed(`the file's ETag is ${etag}, not ${record.etag}`);
  }
  if (record.etag === undefined && record.modified !== undefined && modified !== undefined &&
    modified !== record.modified) {
    throw await changed(`the file was modified ${modified}, not ${record.modified}`);
  }
  if (record.total === undefined && range.total !== undefined) {
    record.total = range.total;
    await transfer.store();
  }
  return { body: bodyOf(response), skip: 0, end: range.end };
}

/**
 * The source's bytes from `skip` on, as chunks of `size` bytes (the last may be shorter). With
 * `reuse`, a chunk is only valid until the next one is asked for: a stream's pieces are gathered
 * in one buffer that is used again; without it each chunk keeps its bytes (a new buffer each).
 * With `keepOnError`, the bytes a stream gave before it failed are handed out before its error.
 * @param {ReadableStream<Uint8Array> | Blob | Uint8Array} body
 * @param {number} skip
 * @param {number} size
 * @param {{keepOnError?: boolean, reuse?: boolean}} [how]
 * @returns {AsyncGenerator<Uint8Array>}
 */
async function* chunks(body, skip, size, { keepOnError = false, reuse = true } = {}) {
  const shorter = (/** @type {number} */ has) => new TamberloError("source-changed",
    `the source has ${has} bytes, fewer than ${skip}`);
  if (body instanceof Uint8Array) {
    if (skip > body.length) throw shorter(body.length);
    for (let at = skip; at < body.length; at += size) yield body.subarray(at, at + size);
    return;
  }
  if (typeof Blob !== "undefined" && body instanceof Blob) {
    if (skip > body.size) throw shorter(body.size);
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
    let buffer = new Uint8Array(size);
    let filled = 0;
    let skipped = 0;
    for (;;) {
      /** @type {ReadableStreamReadResult<Uint8Array>} */
      let read;
      try {
        read = await reader.read();
      } catch (error) {
        if (keepOnError && filled > 0 && skipped >= skip) yield buffer.subarray(0, filled);
        throw error;
      }
      const { done, value } = read;
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
          if (!reuse) buffer = new Uint8Array(size);
          filled = 0;
        }
      }
    }
    if (skipped < skip) throw shorter(skipped);
    if (filled > 0) yield buffer.subarray(0, filled);
  } finally {
    await reader.cancel().catch(() => {});
    reader.releaseLock();
  }
}

// The channel's address, asked of each port once: {ok, url, token} or the host's refusal.
/** @type {WeakMap<Port, Promise<any>>} */
const channelAddresses = new WeakMap();

/** One WebSocket to the host's channel, its replies taken in order. */
class ChannelLink {
  /** @type {WebSocket} */ #socket;
  /** @type {any[]} */ #replies = [];
  /** @type {{resolve: (reply: any) => void, reject: (error: Error) => void}[]} */ #waiting = [];
  /** @type {Error | null} */ #closed = null;

  /** @param {WebSocket} socket */
  constructor(socket) {
    this.#socket = socket;
    socket.binaryType = "arraybuffer";
    socket.addEventListener("message", (event) => {
      /** @type {any} */
      let reply;
      try {
        reply = JSON.parse(String(event.data));
      } catch {
        reply = { ok: false, error: "the channel sent no JSON" };
      }
      const waiter = this.#waiting.shift();
      if (waiter) waiter.resolve(reply);
      else this.#replies.push(reply);
    });
    socket.addEventListener("close", (event) => {
      this.#end(new TamberloError("host-gone", `the channel closed (${event.code}` +
        `${event.reason ? `: ${event.reason}` : ""})`, { reason: event.reason }));
    });
    /** Settles once the socket is closed: the host has then let go of the part file. */
    this.gone = new Promise((resolve) => {
      if (socket.readyState === 3) resolve(undefined);
      socket.addEventListener("close", () => resolve(undefined), { once: true });
    });
    this.opened = new Promise((resolve, reject) => {
      socket.addEventListener("open", () => resolve(undefined), { once: true });
      socket.addEventListener("close", () => reject(this.#closed), { once: true });
    });
    this.opened.catch(() => {});
  }

  /** @param {Error} error */
  #end(error) {
    this.#closed ??= error;
    for (const waiter of this.#waiting.splice(0)) waiter.reject(this.#closed);
  }

  /** The next reply of the host, or the channel's end. @returns {Promise<any>} */
  next() {
    if (this.#replies.length > 0) return Promise.resolve(this.#replies.shift());
    if (this.#closed) return Promise.reject(this.#closed);
    return new Promise((resolve, reject) => this.#waiting.push({ resolve, reject }));
  }

  /** @param {string | Uint8Array} data */
  send(data) { this.#socket.send(/** @type {any} */ (data)); }

  /**
   * Ends the channel; waiting replies fail with `error`. Resolves once the socket is closed: the
   * host lets go of the part file's lock before it answers the close, so an end sent after this
   * finds the part free.
   * @param {Error} error
   * @returns {Promise<void>}
   */
  close(error) {
    this.#end(error);
    if (this.#socket.readyState <= 1) this.#socket.close(1000);
    return this.gone;
  }
}

/**
 * A channel into `part` from `offset` on, ready for its bytes, or null (with the reason given to
 * `debug`) when there is none: no WebSocket here, the host refuses or is too old, or the socket
 * does not open or is refused.
 * @param {Port} port
 * @param {string} part
 * @param {number} offset
 * @param {(text: string) => void} debug
 * @returns {Promise<ChannelLink | null>}
 */
async function openChannel(port, part, offset, debug) {
  const Socket = /** @type {any} */ (globalThis).WebSocket;
  if (typeof Socket !== "function") {
    debug("channel: no WebSocket here; chunk messages");
    return null;
  }
  let address = channelAddresses.get(port);
  if (!address) {
    address = port.send({ type: "file.write.channel" })
      .catch((error) => ({ ok: false, error: String(error?.message ?? error) }));
    channelAddresses.set(port, address);
  }
  const offer = await address;
  if (offer.ok !== true) {
    debug(`channel: the host offers none (${offer.error}); chunk messages`);
    return null;
  }
  /** @type {ChannelLink | null} */
  let link = null;
  try {
    link = new ChannelLink(new Socket(offer.url));
    await link.opened;
    link.send(JSON.stringify({ token: offer.token, part, offset }));
    const first = await link.next();
    if (first.ok !== true) throw new Error(first.error);
    if (first.size !== offset) throw new Error(`the part file holds ${first.size} bytes`);
    debug(`channel: open at ${offset}`);
    return link;
  } catch (error) {
    const text = String(/** @type {any} */ (error)?.message ?? error);
    link?.close(new Error(text));
    debug(`channel: ${text}; chunk messages`);
    return null;
  }
}

/**
 * A transfer into one part file in Downloads. Made by `begin` (or `resume`); its `record` is
 * what it takes to continue it in another session.
 */
export class Transfer {
  /** @type {Port} */ #port;
  /** @type {TransferRecord} */ #record;
  /** @type {Store | null} null when the part is not in the registry (the part-name forms) */
  #store;
  #size;
  /** @type {AbortController | null} */ #stop = null;
  /** @type {Promise<unknown> | null} */ #running = null;

  /**
   * @param {Port} port
   * @param {TransferRecord} record
   * @param {number} size bytes in the part file
   * @param {Store | null} store
   */
  constructor(port, record, size, store) {
    this.#port = port;
    this.#record = record;
    this.#size = size;
    this.#store = store;
  }

  /** The part file's name. */
  get part() { return this.#record.part; }
  /** The name the file is to be saved under. */
  get name() { return this.#record.name; }
  /** Bytes in the part file so far. */
  get size() { return this.#size; }
  /** What it takes to resume this transfer: plain JSON. */
  get record() { return this.#record; }

  /** Writes the record into the registry again (after the source told more of itself). */
  async store() {
    await this.#store?.set(REGISTRY_PREFIX + this.part, this.#record);
  }

  /**
   * Sends `source` into the part file from its current length on: a URL is asked for the rest
   * (with If-Range), a 206 Response must start there, other sources are the whole file (or,
   * with `at`, bytes from that offset) and what the part holds is skipped. Rejects with a
   * TamberloError; the part file stays unless the signal cancelled the transfer.
   * @param {Source} source
   * @param {WriteOptions} [options]
   * @returns {Promise<void>}
   */
  async write(source, options = {}) {
    if (this.#running) throw new TypeError("a write of this transfer is under way");
    const stop = new AbortController();
    const outer = options.signal;
    const relay = () => stop.abort(outer?.reason);
    if (outer?.aborted) relay();
    outer?.addEventListener("abort", relay, { once: true });
    this.#stop = stop;
    const run = this.#write(source, options, stop.signal);
    this.#running = run.catch(() => {});
    try {
      await run;
    } catch (error) {
      throw await this.#failed(error, stop.signal);
    } finally {
      outer?.removeEventListener("abort", relay);
      this.#running = null;
      this.#stop = null;
    }
  }

  /**
   * @param {Source} source
   * @param {WriteOptions} options
   * @param {AbortSignal} signal
   */
  async #write(source, options, signal) {
    const chunkBytes = options.chunkBytes ?? DEFAULT_CHUNK_BYTES;
    // Messages to hosts of their own may overtake each other: their chunks go one at a time.
    const inFlight = this.#port.inOrder === false ? 1 : options.inFlight ?? DEFAULT_IN_FLIGHT;
    if (!(Number.isSafeInteger(chunkBytes) && chunkBytes > 0)) throw new RangeError("chunkBytes");
    if (!(Number.isSafeInteger(inFlight) && inFlight > 0)) throw new RangeError("inFlight");
    signal.throwIfAborted();
    const opened = await openSource(this, source, options, signal);
    const { onProgress } = options;
    const total = this.#record.total ?? opened.end;
    const part = this.part;
    // The channel when there is one; its failure before any byte was sent leaves the chunks.
    if (options.channel !== false) {
      const debug = options.onDebug ?? (() => {});
      const link = await openChannel(this.#port, part, this.#size, debug);
      if (link) return this.#writeOverChannel(link, opened, options, signal, total);
    } else {
      options.onDebug?.("channel: not asked for; chunk messages");
    }
    /** @type {Promise<void>[]} */
    const onTheWay = [];
    let sent = this.#size;
    /** @type {unknown} */
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
        signal.throwIfAborted();
        const at = sent;
        const expected = at + chunk.length;
        sent = expected;
        // Encoded now: the chunk's bytes may be reused once the next one is read.
        const message = { type: /** @type {const} */ ("file.write.chunk"), part, offset: at, data: toBase64(chunk) };
        onTheWay.push(request(this.#port, message).then((reply) => {
          if (reply.size !== expected) {
            throw new TamberloError("size-mismatch",
              `file.write.chunk at ${at}: the part file holds ${reply.size} bytes`);
          }
          this.#size = expected;
          onProgress?.(expected, total);
        }));
        while (onTheWay.length >= inFlight || (failed && onTheWay.length > 0)) await settle();
        if (failed) throw failed;
      }
      while (onTheWay.length > 0) await settle();
      if (failed) throw failed;
      signal.throwIfAborted();
    } catch (error) {
      // No chunk may land after the caller hears of the failure (or after a cancel removes it).
      while (onTheWay.length > 0) await settle();
      throw error;
    }
    if (opened.end !== undefined && sent !== opened.end) {
      throw new TamberloError(sent < opened.end ? "network" : "size-mismatch",
        `the source gave ${sent} bytes, not ${opened.end}`);
    }
  }

  /**
   * Sends the source over the channel: pieces of channelBytes, at most channelInFlight of them
   * not yet acknowledged; the part file's size follows the host's acknowledgements.
   * @param {ChannelLink} link
   * @param {Opened} opened
   * @param {WriteOptions} options
   * @param {AbortSignal} signal
   * @param {number | undefined} total
   */
  async #writeOverChannel(link, opened, options, signal, total) {
    const pieceBytes = options.channelBytes ?? DEFAULT_CHANNEL_BYTES;
    const inFlight = options.channelInFlight ?? DEFAULT_CHANNEL_IN_FLIGHT;
    if (!(Number.isSafeInteger(pieceBytes) && pieceBytes > 0)) throw new RangeError("channelBytes");
    if (!(Number.isSafeInteger(inFlight) && inFlight > 0)) throw new RangeError("channelInFlight");
    const stop = () => link.close(new TamberloError("aborted", "aborted"));
    signal.addEventListener("abort", stop, { once: true });
    /** @type {number[]} the part file's size after each piece on the way */
    const unacknowledged = [];
    let sent = this.#size;
    /** @type {unknown} */
    let failure = null;
    /** @type {{wake: (() => void) | null}} the sender, when it waits */
    const sleeper = { wake: null };
    // Acknowledgements are taken as they come, also while the source keeps the sender waiting.
    const reading = (async () => {
      try {
        for (;;) {
          const reply = await link.next();
          if (reply.ok !== true) {
            const text = String(reply.error);
            throw new TamberloError(codeOf(text, reply.storage === true), text,
              { storage: reply.storage === true });
          }
          while (unacknowledged.length > 0 && unacknowledged[0] <= reply.size) {
            unacknowledged.shift();
          }
          this.#size = reply.size;
          options.onProgress?.(reply.size, total);
          sleeper.wake?.();
        }
      } catch (error) {
        failure ??= error;
        sleeper.wake?.();
      }
    })();
    const until = async (/** @type {() => boolean} */ done) => {
      while (!failure && !done()) await new Promise((resolve) => { sleeper.wake = () => resolve(undefined); });
      if (failure) throw failure;
    };
    try {
      // Each piece its own buffer, gathered once: a socket may send it after the next is read.
      for await (const piece of chunks(opened.body, opened.skip, pieceBytes,
        { keepOnError: true, reuse: false })) {
        signal.throwIfAborted();
        if (failure) throw failure;
        link.send(piece);
        sent += piece.length;
        unacknowledged.push(sent);
        await until(() => unacknowledged.length < inFlight);
      }
      await until(() => unacknowledged.length === 0);
      signal.throwIfAborted();
    } catch (error) {
      // What went is acknowledged before the failure is told: the part file's size is known.
      await until(() => unacknowledged.length === 0).catch(() => {});
      throw error;
    } finally {
      signal.removeEventListener("abort", stop);
      failure ??= new TamberloError("aborted", "done");
      await link.close(new TamberloError("aborted", "done"));
      await reading;
    }
    if (this.#size !== sent) {
      throw new TamberloError("size-mismatch", `the part file holds ${this.#size} bytes, not ${sent}`);
    }
    if (opened.end !== undefined && sent !== opened.end) {
      throw new TamberloError(sent < opened.end ? "network" : "size-mismatch",
        `the source gave ${sent} bytes, not ${opened.end}`);
    }
  }

  /**
   * The error a write rejects with: a cancel removes the part; anything else keeps it and says
   * where.
   * @param {unknown} error
   * @param {AbortSignal} signal
   */
  async #failed(error, signal) {
    if (signal.aborted) {
      if (signal.reason === PAUSE) {
        return new TamberloError("aborted", "paused", { record: this.#record });
      }
      await this.#remove();
      return new TamberloError("aborted", "cancelled");
    }
    if (error instanceof TamberloError) {
      error.record ??= this.#record;
      return error;
    }
    if (error instanceof RangeError) return error;
    // fetch and a body's reads fail with TypeError ("Failed to fetch", "terminated",
    // "NetworkError when attempting to fetch resource.") whatever the browser.
    const text = String(/** @type {any} */ (error)?.message ?? error);
    return new TamberloError("network", text, { record: this.#record });
  }

  async #remove() {
    await this.#port.send({ type: "file.write.abort", part: this.part }).catch(() => {});
    await this.#store?.remove(REGISTRY_PREFIX + this.part);
  }

  /**
   * Stops a write under way and keeps the part file and its registry entry; resolves with the
   * record once no chunk is on the way.
   * @returns {Promise<TransferRecord>}
   */
  async pause() {
    this.#stop?.abort(PAUSE);
    await this.#running;
    return this.#record;
  }

  /** Stops a write under way and removes the part file and its registry entry. */
  async abort() {
    this.#stop?.abort(new DOMException("cancelled", "AbortError"));
    await this.#running;
    await this.#remove();
  }

  /**
   * Ends the transfer: the part file is checked against the file's known length and saved under
   * `name`, or its first free numbered variant, whose name it resolves with; the registry entry
   * goes. On failure the part file stays.
   * @returns {Promise<string>}
   */
  async end() {
    if (this.#running) throw new TypeError("a write of this transfer is under way");
    const { total } = this.#record;
    if (total !== undefined && this.#size !== total) {
      throw new TamberloError(this.#size < total ? "network" : "size-mismatch",
        `the source gave ${this.#size} bytes, not ${total}`, { record: this.#record });
    }
    const message = {
      type: /** @type {const} */ ("file.write.end"), part: this.part, name: this.name,
      size: this.#size,
    };
    let ended;
    try {
      ended = await request(this.#port, message);
    } catch (error) {
      if (error instanceof TamberloError) error.record ??= this.#record;
      throw error;
    }
    await this.#store?.remove(REGISTRY_PREFIX + this.part);
    return ended.name;
  }
}

/**
 * Refuses a name whose part name would be too long, before anything is sent.
 * @param {string} name
 */
function checkNameLength(name) {
  const bytes = utf8Bytes(name);
  if (bytes > MAX_NAME_BYTES) {
    throw new TamberloError("name-too-long", `the name is ${bytes} bytes of UTF-8; at most ` +
      `${MAX_NAME_BYTES} can be saved, as its part name adds ".part"`);
  }
}

/**
 * Makes a part file for `name` and records it in the registry before resolving.
 * @param {Port} port
 * @param {string} name
 * @param {BeginOptions} [options]
 * @returns {Promise<Transfer>}
 */
export async function begin(port, name, options = {}) {
  checkNameLength(name);
  /** @type {Record<string, unknown> & {type: "file.write.begin"}} */
  const message = { type: "file.write.begin", name };
  const referrer = options.referrer;
  if (options.url !== undefined && utf8Bytes(String(options.url)) <= MAX_ORIGIN_BYTES) {
    message.url = String(options.url);
  }
  if (referrer !== undefined && utf8Bytes(referrer) <= MAX_ORIGIN_BYTES) {
    message.referrer = referrer;
  }
  const { part } = await request(port, message);
  /** @type {TransferRecord} */
  const record = { part, name, started: Date.now() };
  if (options.url !== undefined) record.url = String(options.url);
  if (options.size !== undefined) record.total = options.size;
  const storable = storableRequest(options);
  if (storable) record.request = storable;
  const store = storeOf(options);
  const transfer = new Transfer(port, record, 0, store);
  try {
    await transfer.store();
  } catch (error) {
    await port.send({ type: "file.write.abort", part }).catch(() => {});
    throw error;
  }
  return transfer;
}

/**
 * Saves the source into Downloads under `name`, or its first free numbered variant; resolves
 * with the name it was saved under. When the signal cancels, the part file is removed; when it
 * pauses (PAUSE), and on any failure once bytes are saved (or the network or the host failed),
 * the part file stays and the error carries its `record`.
 * @param {Port} port
 * @param {string} name
 * @param {Source} source
 * @param {SaveOptions} [options]
 * @returns {Promise<string>}
 */
export async function save(port, name, source, options = {}) {
  options.signal?.throwIfAborted();
  const url = isUrl(source) ? String(source) : options.url;
  const transfer = await begin(port, name, { ...options, url });
  try {
    options.onBegin?.(transfer.part, transfer.record);
    await transfer.write(source, options);
    return await transfer.end();
  } catch (error) {
    // Kept: a pause, a network or host failure, and anything once bytes are saved.
    const failure = error instanceof TamberloError ? error : null;
    const kept = failure?.code === "aborted" ? failure.record !== undefined
      : failure?.code === "network" || failure?.code === "host-gone" || transfer.size > 0;
    if (!kept) {
      if (failure) failure.record = undefined;
      if (failure?.code !== "aborted") await transfer.abort();
    }
    throw error;
  }
}

/**
 * Continues a transfer in another session, from its part file's length: `resume(port, record,
 * source?, options)` for a record of the registry (the source defaults to the record's URL),
 * or `resume(port, part, name, source, options)` for a part file named by the caller. The
 * source is the whole file again (or a 206 Response of the rest); a URL is asked for the rest
 * with If-Range, and only the same version, from the part file's length, is taken. On failure
 * the part file stays; when the signal cancels, it is removed.
 * @param {Port} port
 * @param {TransferRecord | string} recordOrPart
 * @param {...any} rest
 * @returns {Promise<string>}
 */
export async function resume(port, recordOrPart, ...rest) {
  /** @type {Transfer} */
  let transfer;
  /** @type {Source | undefined} */
  let source;
  /** @type {SaveOptions} */
  let options;
  if (typeof recordOrPart === "string") {
    options = rest[2] ?? {};
    source = rest[1];
    options.signal?.throwIfAborted();
    const name = /** @type {string} */ (rest[0]);
    const size = await status(port, recordOrPart);
    transfer = new Transfer(port, { part: recordOrPart, name, started: Date.now(),
      ...(options.size !== undefined && { total: options.size }) }, size, null);
  } else {
    source = rest[0];
    options = rest[1] ?? {};
    options.signal?.throwIfAborted();
    const record = await registered(recordOrPart, options);
    transfer = new Transfer(port, record, await status(port, record.part), storeOf(options));
  }
  source ??= transfer.record.url;
  if (source === undefined) throw new TypeError("source: the record has no URL");
  const total = options.size ?? transfer.record.total;
  if (total !== undefined && total < transfer.size) {
    throw new TamberloError("source-changed", `the part file holds ${transfer.size} bytes, ` +
      `more than the source's ${total}`, { record: transfer.record });
  }
  await transfer.write(source, options);
  return transfer.end();
}

/**
 * The registry's record of the part `record` names, or a "not-a-part" error.
 * @param {TransferRecord} record
 * @param {{store?: Store}} options
 */
async function registered(record, options) {
  const stored = await storeOf(options).get(REGISTRY_PREFIX + record?.part);
  if (!stored) {
    throw new TamberloError("not-a-part", `${record?.part} is not a part this library began`);
  }
  return /** @type {TransferRecord} */ (stored);
}

/**
 * The length of a part file, without changing it.
 * @param {Port} port
 * @param {string} part
 * @returns {Promise<number>}
 */
export async function status(port, part) {
  return (await request(port, { type: "file.write.status", part })).size;
}

/**
 * The part files in Downloads that this library began (with their `record`), or with `all`
 * every part file the host lists, Firefox's own downloads among them.
 * @param {Port} port
 * @param {{all?: boolean, store?: Store}} [options]
 * @returns {Promise<PartFile[]>}
 */
export async function parts(port, options = {}) {
  /** @type {PartFile[]} */
  const listed = [];
  /** @type {string | undefined} */
  let after;
  for (;;) {
    /** @type {{type: "file.write.list", after?: string}} */
    const message = { type: "file.write.list" };
    if (after !== undefined) message.after = after;
    const page = await request(port, message);
    listed.push(...page.parts);
    if (page.more !== true || page.parts.length === 0) break;
    after = page.parts[page.parts.length - 1].part;
  }
  if (options.all) return listed;
  const store = storeOf(options);
  /** @type {PartFile[]} */
  const ours = [];
  for (const file of listed) {
    const record = await store.get(REGISTRY_PREFIX + file.part);
    if (record) ours.push({ ...file, record: /** @type {TransferRecord} */ (record) });
  }
  return ours;
}

/**
 * Removes a part file (none there is no failure): a record's only when the registry holds it,
 * and its registry entry with it; a part named by the caller as it is.
 * @param {Port} port
 * @param {string | TransferRecord} partOrRecord
 * @param {{store?: Store}} [options]
 */
export async function abort(port, partOrRecord, options = {}) {
  if (typeof partOrRecord === "string") {
    await request(port, { type: "file.write.abort", part: partOrRecord });
    return;
  }
  const record = await registered(partOrRecord, options);
  await request(port, { type: "file.write.abort", part: record.part });
  await storeOf(options).remove(REGISTRY_PREFIX + record.part);
}

/**
 * The name under which `name` stands in Downloads, or null. With `after` (a Date or
 * milliseconds since 1970), the earliest copy of it ("name (n).ext") made from then on; the
 * host lets copies up to 120 s older than `after` count, for clocks that differ.
 * @param {Port} port
 * @param {string} name
 * @param {number | Date} [after]
 * @returns {Promise<string | null>}
 */
export async function find(port, name, after) {
  /** @type {{type: "file.exists", name: string, after?: number}} */
  const message = { type: "file.exists", name };
  if (after !== undefined) message.after = Number(after);
  const reply = /** @type {Replies["file.exists"]} */ (await port.send(message));
  if ("error" in reply) throw new TamberloError(codeOf(reply.error, false), reply.error);
  return reply.exists ? reply.name : null;
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
  return (await request(port, { type: "file.version" })).version;
}
