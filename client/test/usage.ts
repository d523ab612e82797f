// Compiled, never run: the declarations as an extension would use them.
import {
  PAUSE, TamberloError, begin, connect, find, parts, resume, save, version, type Port,
  type TransferRecord,
} from "../index.js";

export async function example(port: Port = connect()): Promise<string[]> {
  const controller = new AbortController();
  const saved: string = await save(port, "clip.mp4", "http://127.0.0.1/clip.mp4", {
    onProgress: (done: number, total: number | undefined) => void [done, total],
    onBegin: (part: string, record: TransferRecord) => void [part, record.url],
    signal: controller.signal,
    chunkBytes: 512 * 1024,
    inFlight: 8,
    headers: { authorization: "Bearer x" },
    credentials: "include",
  });
  controller.abort(PAUSE);
  const transfer = await begin(port, "a.bin", { url: "http://127.0.0.1/a.bin" });
  await transfer.write(new Blob([]), { at: transfer.size });
  const kept: TransferRecord = await transfer.pause();
  const left = await parts(port);
  const resumed = await resume(port, left[0].record ?? kept).catch((error: unknown) => {
    if (error instanceof TamberloError && error.code === "source-changed") return error.message;
    throw error;
  });
  const old = await resume(port, left[0].part, "clip.mp4", new Blob([]));
  return [saved, resumed, old, (await find(port, saved, new Date())) ?? "", await version(port),
    await transfer.end()];
}
