// tamberlo example extension: saves files into the user's Downloads folder through the
// tamberlo.host native-messaging host, in 1 MiB chunks, then asks the host whether the file is
// there.
//
// There are two ways to talk to the host, and every function below takes either as `send`:
//  - sendOnce: chrome.runtime.sendNativeMessage, a new host process for each message;
//  - connect(): chrome.runtime.connectNative, one host process for as long as the port is open.
// The host answers every message with exactly one reply, in order, so a port needs no ids.
// A transfer lives in Downloads as its part file, not in the host process, so the two ways
// can even be mixed within one transfer.

const HOST = "tamberlo.host";
// Browsers pass at most 64 MiB to a host in one message; 1 MiB (1.4 MB of base64) keeps each
// message small and progress reports frequent.
const CHUNK_BYTES = 1024 * 1024;

function sendOnce(message) {
  return chrome.runtime.sendNativeMessage(HOST, message);
}

// One host process behind a port: `send(message)` resolves with that message's reply.
function connect() {
  const port = chrome.runtime.connectNative(HOST);
  const waiting = [];
  let closed = null;
  port.onMessage.addListener((reply) => waiting.shift()?.resolve(reply));
  port.onDisconnect.addListener(() => {
    const reason = chrome.runtime.lastError?.message ?? "no reason given";
    closed = new Error(`host disconnected: ${reason}`);
    for (const waiter of waiting.splice(0)) waiter.reject(closed);
  });
  return {
    send(message) {
      if (closed) return Promise.reject(closed);
      return new Promise((resolve, reject) => {
        waiting.push({ resolve, reject });
        port.postMessage(message);
      });
    },
    get isOpen() {
      return closed === null;
    },
    close() {
      closed ??= new Error("port closed");
      port.disconnect();
    },
  };
}

function toBase64(bytes) {
  let text = "";
  // String.fromCharCode takes its bytes as arguments: pass them in slices.
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

// Saves `bytes` (a Uint8Array) under `name` and gives the name the host saved it under, which
// is "name (1).ext" and so on when the name is taken. `onProgress(saved, total)` follows every
// chunk. On failure the part file is removed and the error thrown.
async function saveFile(send, name, bytes, onProgress = () => {}) {
  const begun = await send({ type: "file.write.begin", name });
  if (!begun.ok) throw new Error(`file.write.begin: ${begun.error}`);
  const part = begun.part;
  try {
    let saved = 0;
    while (saved < bytes.length) {
      const chunk = bytes.subarray(saved, saved + CHUNK_BYTES);
      const reply = await send({
        type: "file.write.chunk", part, offset: saved, data: toBase64(chunk),
      });
      // The reply's size is the part file's length: the next chunk starts there.
      if (!reply.ok || reply.size !== saved + chunk.length) {
        throw new Error(`file.write.chunk at ${saved}: ${reply.error ?? `size ${reply.size}`}`);
      }
      saved = reply.size;
      onProgress(saved, bytes.length);
    }
    const ended = await send({ type: "file.write.end", part, name, size: bytes.length });
    if (!ended.ok) throw new Error(`file.write.end: ${ended.error}`);
    return ended.name;
  } catch (error) {
    await send({ type: "file.write.abort", part }).catch(() => {});
    throw error;
  }
}

// The name under which `name` stands in Downloads, or null. With `after` (milliseconds since
// 1970), the earliest copy of it ("name (n).ext") that appeared from then on.
async function findFile(send, name, after) {
  const message = { type: "file.exists", name };
  if (after !== undefined) message.after = after;
  const reply = await send(message);
  if (reply.error) throw new Error(`file.exists: ${reply.error}`);
  return reply.exists ? reply.name : null;
}

// Saves and then confirms through the host that the file is there.
async function saveAndConfirm(send, name, bytes, onProgress) {
  const saved = await saveFile(send, name, bytes, onProgress);
  if ((await findFile(send, saved)) !== saved) throw new Error(`${saved} is not in Downloads`);
  return saved;
}

// What the extension's own pages and content scripts ask for:
// {save: {url, name}} is answered {saved: final name} or {error: text}.
chrome.runtime.onMessage.addListener((message, sender, respond) => {
  if (sender.id !== chrome.runtime.id || !message?.save) return false;
  const { url, name } = message.save;
  (async () => {
    const bytes = new Uint8Array(await (await fetch(url)).arrayBuffer());
    const port = connect();
    try {
      return await saveAndConfirm(port.send, name, bytes, (saved, total) =>
        console.log(`${name}: ${saved} of ${total} bytes`));
    } finally {
      port.close();
    }
  })().then((saved) => respond({ saved }), (error) => respond({ error: String(error.message) }));
  return true;  // the answer comes later
});
