// Benchmark-only: the ways of saving a URL that the browser benchmark times, run where
// the example extension's code lives. Each resolves with JSON text: the milliseconds from the
// start to the last byte written, and what was saved. The ports stay open until release(), so
// that the host's CPU time can be read before it exits.
globalThis.bench = (() => {
  const ex = () => globalThis.example;
  const api = globalThis.browser ?? globalThis.chrome;
  const open = [];
  const text = async (promise) => JSON.stringify(await promise);
  const timed = async (work) => {
    const start = performance.now();
    const result = await work();
    return { ms: performance.now() - start, ...result };
  };
  return {
    // (a) the library's save into the real host, in chunk messages.
    library: (url, name, chunkBytes) => text(timed(async () => {
      const port = ex().connect("tamberlo.host");
      open.push(port);
      return { saved: await ex().save(port, name, url, { chunkBytes, channel: false }) };
    })),
    // (a') the same save over the host's channel (a WebSocket to the host).
    channel: (url, name) => text(timed(async () => {
      const port = ex().connect("tamberlo.host");
      open.push(port);
      const debug = [];
      const saved = await ex().save(port, name, url, { onDebug: (t) => debug.push(t) });
      if (debug[0] !== "channel: open at 0") throw new Error(debug.join("; "));
      return { saved };
    })),
    // (b) the same chunk messages, encoded the same way and as many on the way, into a host that
    // reads and discards them: what the browser's native messaging allows at most.
    ceiling: (url, chunkBytes, inFlight) => text(timed(async () => {
      const port = ex().connect("tamberlo.discard");
      open.push(port);
      const reader = (await fetch(url)).body.getReader();
      const onTheWay = [];
      let buffer = new Uint8Array(chunkBytes);
      let filled = 0;
      let offset = 0;
      const send = async (bytes) => {
        onTheWay.push(port.send({
          type: "file.write.chunk", part: "x.part", offset, data: ex().toBase64(bytes),
        }));
        offset += bytes.length;
        while (onTheWay.length >= inFlight) await onTheWay.shift();
      };
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        for (let piece = value; piece.length > 0;) {
          const take = Math.min(chunkBytes - filled, piece.length);
          buffer.set(piece.subarray(0, take), filled);
          filled += take;
          piece = piece.subarray(take);
          if (filled === chunkBytes) {
            await send(buffer);
            filled = 0;
          }
        }
      }
      if (filled > 0) await send(buffer.subarray(0, filled));
      await Promise.all(onTheWay);
      return { sent: offset };
    })),
    // (c) the browser's own downloads API on the same URL.
    downloads: (url, filename) => text(timed(async () => {
      const id = await api.downloads.download({ url, filename, conflictAction: "overwrite" });
      await new Promise((resolve, reject) => {
        const check = async () => {
          const [item] = await api.downloads.search({ id });
          if (item?.state === "complete") resolve(undefined);
          if (item?.state === "interrupted") reject(new Error(`download: ${item.error}`));
        };
        api.downloads.onChanged.addListener((delta) => delta.id === id && check());
        check();
      });
      const [item] = await api.downloads.search({ id });
      await api.downloads.removeFile(id).catch(() => {});
      await api.downloads.erase({ id });
      return { size: item.fileSize || item.bytesReceived };
    })),
    // A library save started and left running, for a kill midway.
    start: (url, name) => text((async () => {
      ex().saveUrl(url, name).catch(() => {});
      return { started: true };
    })()),
    // What the extension does when it starts: the recorded saves resumed.
    resume: (records) => text(timed(async () => {
      for (const [part, entry] of Object.entries(JSON.parse(records))) {
        await ex().record(part, entry);
      }
      return { results: await ex().resumeInterrupted() };
    })),
    release: () => text((async () => {
      for (const port of open.splice(0)) port.close();
      return true;
    })()),
  };
})();
