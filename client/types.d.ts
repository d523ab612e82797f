// The shapes the client works with.

/** A reply of the host: "ok" and "error", or "exists", or "echo", with what each carries. */
export interface Reply {
  ok?: boolean;
  error?: string;
  storage?: boolean;
  [key: string]: unknown;
}

/** A port to one host process; `send` resolves with the message's own reply. */
export interface Port {
  send(message: Record<string, unknown>): Promise<Reply>;
  /** False when each message goes to a host process of its own (runtime.sendNativeMessage):
   * such messages may be answered out of order, so a save sends one chunk at a time. */
  readonly inOrder?: boolean;
  /** Why the port closed, or null while it is open. */
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

/** Where a file's bytes come from: a URL (fetched, with a range on resume), a fetch Response,
 * its body, a Blob, or bytes. */
export type Source = string | URL | Response | ReadableStream<Uint8Array> | Blob | ArrayBuffer |
  ArrayBufferView;

export interface SaveOptions {
  /** After each chunk the host has written: bytes in the part file, and the file's size when
   * known. */
  onProgress?: (saved: number, total: number | undefined) => void;
  /** The part file's name, as soon as the host made it (to resume it after a crash). */
  onBegin?: (part: string) => void;
  /** Aborting stops the save and removes the part file. */
  signal?: AbortSignal;
  /** Bytes per chunk message; 512 KiB by default. */
  chunkBytes?: number;
  /** Chunk messages on the way at once; 8 by default. */
  inFlight?: number;
  /** The file's size, where the source does not tell it; checked at the end. */
  size?: number;
}

/** A part file in Downloads. */
export interface PartFile {
  part: string;
  size: number;
  /** Last change, in milliseconds since 1970. */
  modified: number;
}

/** A source made ready for reading from some offset on. */
export interface Opened {
  body: ReadableStream<Uint8Array> | Blob | Uint8Array;
  /** Bytes of `body` to pass over first. */
  skip: number;
  total: number | undefined;
}
