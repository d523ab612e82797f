// Compiled, never run: the declarations as an extension would use them.
import { connect, find, parts, resume, save, version, type Port } from "../index.js";

export async function example(port: Port = connect()): Promise<string[]> {
  const controller = new AbortController();
  const saved: string = await save(port, "clip.mp4", "http://127.0.0.1/clip.mp4", {
    onProgress: (done: number, total: number | undefined) => void [done, total],
    signal: controller.signal,
    chunkBytes: 512 * 1024,
    inFlight: 8,
  });
  const left = await parts(port);
  const resumed = await resume(port, left[0].part, "clip.mp4", new Blob([]));
  return [saved, resumed, (await find(port, saved, new Date())) ?? "", await version(port)];
}
