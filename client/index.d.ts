// tamberlo-client: saves files into Downloads from a browser extension through tamberlo.host.
import type { NativePort, PartFile, Port, SaveOptions, Source } from "./types.js";

export type { NativePort, PartFile, Port, Reply, SaveOptions, Source } from "./types.js";

export const HOST_NAME: "tamberlo.host";
export const DEFAULT_CHUNK_BYTES: number;
export const DEFAULT_IN_FLIGHT: number;

/** Starts the host behind a new port (runtime.connectNative of `runtime`, by default the
 * browser's own). */
export function connect(hostName?: string, runtime?: unknown): Port;
/** A Port of a runtime.Port; `runtime` is where Chromium keeps the disconnect reason. */
export function wrapPort(port: NativePort, runtime?: unknown): Port;

/** Saves `source` as `name` (or a free numbered variant); resolves with the saved name. */
export function save(port: Port, name: string, source: Source, options?: SaveOptions):
  Promise<string>;
/** Continues the save into `part` from its length; `source` is the whole file again. */
export function resume(port: Port, part: string, name: string, source: Source,
  options?: SaveOptions): Promise<string>;
/** The part file's length, unchanged. */
export function status(port: Port, part: string): Promise<number>;
/** The part files in Downloads. */
export function parts(port: Port): Promise<PartFile[]>;
/** Removes a part file. */
export function abort(port: Port, part: string): Promise<void>;
/** The name under which `name` (or, with `after`, a copy made since) stands in Downloads. */
export function find(port: Port, name: string, after?: number | Date): Promise<string | null>;
export function open(port: Port, name: string): Promise<void>;
export function reveal(port: Port, name: string): Promise<void>;
/** The host's version, "x.y.z". */
export function version(port: Port): Promise<string>;

export function toBase64(bytes: Uint8Array): string;
export function toBase64Portable(bytes: Uint8Array): string;
