// tamberlo-client: saves files into Downloads from a browser extension through tamberlo.host.
import type {
  BeginOptions, ErrorCode, NativePort, PartFile, Port, SaveOptions, Source, Store,
  TransferRecord, WriteOptions,
} from "./types.js";

export type {
  BeginOptions, ErrorCode, Failure, ListedPart, NativePort, PartFile, Port, Replies, Reply,
  RequestOptions, SaveOptions, Source, Store, TransferRecord, WriteOptions,
} from "./types.js";

export const HOST_NAME: "tamberlo.host";
export const DEFAULT_CHUNK_BYTES: number;
export const DEFAULT_IN_FLIGHT: number;
export const DEFAULT_CHANNEL_BYTES: number;
export const DEFAULT_CHANNEL_IN_FLIGHT: number;
/** The reason to abort a signal with to pause: the part file and its record stay. */
export const PAUSE: "tamberlo.pause";
/** The registry's key of a part: this prefix and the part file's name. */
export const REGISTRY_PREFIX: "tamberlo.part:";
/** The longest name, in UTF-8 bytes, that can be saved. */
export const MAX_NAME_BYTES: 250;

/** A failure with a code; `record` where the part file was kept. */
export class TamberloError extends Error {
  constructor(code: ErrorCode, message: string,
    extra?: { status?: number; record?: TransferRecord; storage?: boolean; reason?: string });
  code: ErrorCode;
  storage: boolean;
  /** The HTTP status, for "http" and "source-changed". */
  status: number | undefined;
  record: TransferRecord | undefined;
  /** The browser's reason, for "host-gone". */
  reason: string | undefined;
}

/** A transfer into one part file. */
export class Transfer {
  private constructor();
  readonly part: string;
  readonly name: string;
  /** Bytes in the part file so far. */
  readonly size: number;
  readonly record: TransferRecord;
  /** Writes the record into the registry again. */
  store(): Promise<void>;
  /** Sends the source (or the rest of it) into the part file. */
  write(source: Source, options?: WriteOptions): Promise<void>;
  /** Saves the part file under its name (or a free numbered variant); resolves with it. */
  end(): Promise<string>;
  /** Stops a write and removes the part file and its record. */
  abort(): Promise<void>;
  /** Stops a write and keeps the part file and its record. */
  pause(): Promise<TransferRecord>;
}

/** Starts the host behind a new port (runtime.connectNative of `runtime`, by default the
 * browser's own). */
export function connect(hostName?: string, runtime?: unknown): Port;
/** A Port of a runtime.Port; `runtime` is where Chromium keeps the disconnect reason. */
export function wrapPort(port: NativePort, runtime?: unknown): Port;

/** Makes a part file for `name` and records it in the registry. */
export function begin(port: Port, name: string, options?: BeginOptions): Promise<Transfer>;
/** Saves `source` as `name` (or a free numbered variant); resolves with the saved name. */
export function save(port: Port, name: string, source: Source, options?: SaveOptions):
  Promise<string>;
/** Continues a transfer of the registry from its part file's length; `source` defaults to the
 * record's URL. */
export function resume(port: Port, record: TransferRecord, source?: Source,
  options?: SaveOptions): Promise<string>;
/** Continues the save into `part` from its length; `source` is the whole file again. */
export function resume(port: Port, part: string, name: string, source: Source,
  options?: SaveOptions): Promise<string>;
/** The part file's length, unchanged. */
export function status(port: Port, part: string): Promise<number>;
/** The part files this library began (with `all`, every part file in Downloads). */
export function parts(port: Port, options?: { all?: boolean; store?: Store }):
  Promise<PartFile[]>;
/** Removes a part file: a record's only when the registry holds it. */
export function abort(port: Port, partOrRecord: string | TransferRecord,
  options?: { store?: Store }): Promise<void>;
/** The name under which `name` (or, with `after`, a copy made since, or up to 120 s before)
 * stands in Downloads. */
export function find(port: Port, name: string, after?: number | Date): Promise<string | null>;
export function open(port: Port, name: string): Promise<void>;
export function reveal(port: Port, name: string): Promise<void>;
/** The host's version, "x.y.z". */
export function version(port: Port): Promise<string>;

export function toBase64(bytes: Uint8Array): string;
export function toBase64Portable(bytes: Uint8Array): string;
