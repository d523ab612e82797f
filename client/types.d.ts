// The shapes the client works with.

/** A failed reply to a `file.` message. */
export interface Failure {
  ok: false;
  error: string;
  /** True when a file operation failed for want of space (sent with every failed file
   * operation of a transfer). */
  storage?: boolean;
}

/** A part file in Downloads, as `file.write.list` lists it. */
export interface ListedPart {
  part: string;
  size: number;
  /** Last change, in milliseconds since 1970. */
  modified: number;
}

/** Each message's reply on success (`file.exists` answers without "ok"). */
export interface Replies {
  "file.write.begin": { ok: true; part: string };
  "file.write.chunk": { ok: true; size: number };
  "file.write.end": { ok: true; name: string };
  "file.write.abort": { ok: true };
  "file.write.status": { ok: true; size: number };
  "file.write.channel": { ok: true; url: string; token: string };
  /** `more`: the host stopped early; ask again with `after` = the last part listed. */
  "file.write.list": { ok: true; parts: ListedPart[]; more?: boolean };
  "file.version": { ok: true; version: string };
  "file.open": { ok: true };
  "file.reveal": { ok: true };
  "file.exists": { exists: true; name: string } | { exists: false } | { ok?: false; error: string };
}

/** A reply of the host: one of the replies above, a failure, or the echo of a message that is
 * not a file request. */
export type Reply = Replies[keyof Replies] | Failure | { echo: unknown };

/** A port to one host process; `send` resolves with the message's own reply. */
export interface Port {
  send(message: Record<string, unknown>): Promise<Reply>;
  /** False when each message goes to a host process of its own (runtime.sendNativeMessage):
   * such messages may be answered out of order, so a save sends one chunk at a time. */
  readonly inOrder?: boolean;
  /** Why the port closed (code "host-gone"), or null while it is open. */
  readonly closed: Error | null;
  close(): void;
}

/** What runtime.connectNative gives, in Chromium and Firefox alike. */
export interface NativePort {
  postMessage(message: unknown): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: any) => void): void };
  onDisconnect: { addListener(listener: (port: any) => void): void };
  /** Firefox's disconnect reason. */
  error?: { message: string } | null;
}

/** Where a file's bytes come from: a URL (fetched, with a range on resume), a fetch Response
 * (a 206 one too), its body, a Blob, or bytes. */
export type Source = string | URL | Response | ReadableStream<Uint8Array> | Blob | ArrayBuffer |
  ArrayBufferView;

/** The codes of TamberloError; the client's README says what each means. */
export type ErrorCode = "name-invalid" | "name-too-long" | "no-downloads" | "disk-full" |
  "exists" | "not-a-part" | "size-mismatch" | "offset" | "network" | "http" | "source-changed" |
  "aborted" | "host-gone" | "refused";

/** Options of the fetch of a URL source. Those that are plain strings are kept in the record
 * (headers too: a secret in a header is stored with it). */
export interface RequestOptions {
  headers?: HeadersInit;
  credentials?: RequestCredentials;
  referrer?: string;
  referrerPolicy?: ReferrerPolicy;
  cache?: RequestCache;
}

/** Where the registry lives: by default the extension's storage.local. */
export interface Store {
  get(key: string): Promise<unknown>;
  set(key: string, value: unknown): Promise<void>;
  remove(key: string): Promise<void>;
}

/** What it takes to resume a transfer: plain JSON, kept in the registry. */
export interface TransferRecord {
  part: string;
  name: string;
  /** The URL source's address. */
  url?: string;
  /** The strong ETag of the file's first response. */
  etag?: string;
  /** Its Last-Modified, where it had no strong ETag. */
  modified?: string;
  /** The file's length, where known. */
  total?: number;
  request?: RequestOptions;
  /** When the transfer began, in milliseconds since 1970. */
  started: number;
}

export interface BeginOptions extends RequestOptions {
  /** The origin recorded with the saved file (the URL fetched, for URL sources). */
  url?: string | URL;
  /** The file's size, where the source does not tell it; checked at the end. */
  size?: number;
  /** The registry; the extension's storage.local by default. */
  store?: Store;
}

export interface WriteOptions extends RequestOptions {
  /** After each chunk the host has written: bytes in the part file, and the file's size when
   * known. */
  onProgress?: (saved: number, total: number | undefined) => void;
  /** Aborting cancels (the part file is removed); aborting with PAUSE stops and keeps it. */
  signal?: AbortSignal;
  /** Bytes per chunk message; 512 KiB by default. */
  chunkBytes?: number;
  /** Chunk messages on the way at once; 8 by default. */
  inFlight?: number;
  /** false: chunk messages only, never the host's channel (a WebSocket to the host). By default
   * the bytes go over the channel when the host offers one and it opens, else as chunks. */
  channel?: boolean;
  /** Bytes per message on the channel; 8 MiB by default. */
  channelBytes?: number;
  /** Channel messages not yet acknowledged by the host; 3 by default. */
  channelInFlight?: number;
  /** Told which path the bytes take and why ("channel: open at 0", "channel: the host offers
   * none (...); chunk messages"): for logs and tests, never needed to save. */
  onDebug?: (text: string) => void;
  /** Where the source's first byte belongs in the file, for sources that are not the whole
   * file (a 206 Response says it itself); 0 by default. */
  at?: number;
}

export interface SaveOptions extends BeginOptions, WriteOptions {
  /** The part file's name and record, once both are made (and the record stored). */
  onBegin?: (part: string, record: TransferRecord) => void;
}

/** A part file in Downloads, with the registry's record when this library began it. */
export interface PartFile extends ListedPart {
  record?: TransferRecord;
}

/** A source made ready for reading from some offset on. */
export interface Opened {
  body: ReadableStream<Uint8Array> | Blob | Uint8Array;
  /** Bytes of `body` to pass over first. */
  skip: number;
  /** The file offset at which the body's bytes end, where known. */
  end: number | undefined;
}
