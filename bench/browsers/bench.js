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
  const MiB = 1 << 20;
  // Bytes the extension makes itself: `mib` MiB of 32-bit little-endian words counting up from
  // 0, made a MiB at a time as the reader asks for them (never more than one ahead).
  const generated = (mib) => {
    let made = 0;
    return new ReadableStream({
      pull(controller) {
        if (made === mib) return controller.close();
        const words = new Uint32Array(MiB / 4);
        const first = made * (MiB / 4);
        for (let i = 0; i < words.length; i++) words[i] = first + i;
        made += 1;
        controller.enqueue(new Uint8Array(words.buffer));
      },
    }, { highWaterMark: 1 });
  };
  // The whole stream gathered into a Blob, the way an extension hands made bytes to the
  // browser's downloads API.
  const blobOf = async (stream) => {
    const parts = [];
    for (const reader = stream.getReader(); ;) {
      const { done, value } = await reader.read();
      if (done) break;
      parts.push(value);
    }
    return new Blob(parts, { type: "application/octet-stream" });
  };
  // The browser's downloads API on `url`, until the file is complete; the file is removed.
  const download = async (url, filename) => {
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
    return item.fileSize || item.bytesReceived;
  };
  // Chromium's service worker has no URL.createObjectURL: an offscreen document of the
  // extension's own makes the Blob and its URL there.
  let offscreen = null;
  const offscreenReady = () => {
    offscreen ??= api.offscreen.createDocument({
      url: "offscreen.html", reasons: ["BLOBS"], justification: "a Blob's URL for downloads",
    });
    return offscreen;
  };
  // Reads `body` and hands `send` its bytes in pieces of `size` (the last may be shorter), each
  // awaited before the next is gathered: with `fresh` each in a buffer of its own (a socket may
  // still hold the last one), else in one buffer used again.
  const inPieces = async (body, size, fresh, send) => {
    const reader = body.getReader();
    let piece = new Uint8Array(size);
    let filled = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      for (let rest = value; rest.length > 0;) {
        const take = Math.min(size - filled, rest.length);
        piece.set(rest.subarray(0, take), filled);
        filled += take;
        rest = rest.subarray(take);
        if (filled === size) {
          await send(piece);
          if (fresh) piece = new Uint8Array(size);
          filled = 0;
        }
      }
    }
    if (filled > 0) await send(piece.subarray(0, filled));
  };
  // Sends `bytes` over `socket` in pieces of pieceBytes, at most inFlight of them not yet
  // acknowledged ({"size": S} after each), as the library does over the channel.
  const sendPieces = async (socket, replies, body, pieceBytes, inFlight) => {
    const unacknowledged = [];
    let sent = 0;
    let acknowledged = 0;
    const until = async (done) => {
      while (!done()) {
        const reply = await replies.next();
        acknowledged = reply.size;
        while (unacknowledged.length > 0 && unacknowledged[0] <= acknowledged) unacknowledged.shift();
      }
    };
    await inPieces(body, pieceBytes, true, async (bytes) => {
      socket.send(bytes);
      sent += bytes.length;
      unacknowledged.push(sent);
      await until(() => unacknowledged.length < inFlight);
    });
    await until(() => unacknowledged.length === 0);
    return sent;
  };
  // A WebSocket's text replies, parsed, in order.
  const repliesOf = (socket) => {
    const queue = [];
    const waiting = [];
    let closed = null;
    socket.addEventListener("message", (event) => {
      const reply = JSON.parse(String(event.data));
      if (waiting.length > 0) waiting.shift().resolve(reply);
      else queue.push(reply);
    });
    socket.addEventListener("close", (event) => {
      closed = new Error(`closed (${event.code})`);
      for (const w of waiting.splice(0)) w.reject(closed);
    });
    return {
      next: () => (queue.length > 0 ? Promise.resolve(queue.shift())
        : closed ? Promise.reject(closed)
        : new Promise((resolve, reject) => waiting.push({ resolve, reject }))),
    };
  };
  return {
    generated,
    blobOf,
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
      const onTheWay = [];
      let offset = 0;
      // One buffer used again: each chunk is base64-coded before the next is gathered.
      await inPieces((await fetch(url)).body, chunkBytes, false, async (bytes) => {
        onTheWay.push(port.send({
          type: "file.write.chunk", part: "x.part", offset, data: ex().toBase64(bytes),
        }));
        offset += bytes.length;
        while (onTheWay.length >= inFlight) await onTheWay.shift();
      });
      await Promise.all(onTheWay);
      return { sent: offset };
    })),
    // (c) the browser's own downloads API on the same URL.
    downloads: (url, filename) => text(timed(async () => ({ size: await download(url, filename) }))),
    // (d) a bare WebSocket sender into a loopback receiver that discards: no library, no host,
    // the same pieces and as many on the way as the library over the channel.
    websocket: (url, address, pieceBytes, inFlight) => text(timed(async () => {
      const socket = new WebSocket(address);
      socket.binaryType = "arraybuffer";
      const replies = repliesOf(socket);
      await new Promise((resolve, reject) => {
        socket.addEventListener("open", resolve, { once: true });
        socket.addEventListener("error", () => reject(new Error("no connection")), { once: true });
      });
      const sent = await sendPieces(socket, replies, (await fetch(url)).body, pieceBytes, inFlight);
      socket.close(1000);
      return { sent };
    })),
    // (e) bytes made in the extension, saved over the channel by the library.
    "generated-channel": (mib, name) => text(timed(async () => {
      const port = ex().connect("tamberlo.host");
      open.push(port);
      const debug = [];
      const saved = await ex().save(port, name, generated(mib), { onDebug: (t) => debug.push(t) });
      if (debug[0] !== "channel: open at 0") throw new Error(debug.join("; "));
      return { saved };
    })),
    // (f) the same bytes gathered into a Blob and handed to the downloads API by its URL.
    "generated-blob": (mib, filename) => text(timed(async () => {
      if (typeof URL.createObjectURL === "function") {
        const url = URL.createObjectURL(await blobOf(generated(mib)));
        try {
          return { size: await download(url, filename) };
        } finally {
          URL.revokeObjectURL(url);
        }
      }
      await offscreenReady();
      const made = await api.runtime.sendMessage({ bench: "blob", mib });
      if (!made?.url) throw new Error(`offscreen document: ${made?.error ?? "no answer"}`);
      try {
        return { size: await download(made.url, filename) };
      } finally {
        await api.runtime.sendMessage({ bench: "revoke", url: made.url });
      }
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
