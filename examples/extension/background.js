// tamberlo example extension: saves what its pages ask for into the user's Downloads folder
// through the tamberlo.host native-messaging host, with the client library in
// tamberlo-client/ (the repository's client/). A save streams the URL's body to the host and
// records its part file; when the browser or the host dies midway, the next start of the
// extension resumes it from the part file's length.
import {
  HOST_NAME, abort, connect, find, open, parts, resume, reveal, save, status, toBase64, version,
} from "./tamberlo-client/index.js";

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const storage = (globalThis.browser ?? globalThis.chrome).storage.local;

// A save not resumed within this long is given up and its part file removed.
const STALE_MS = 7 * 24 * 3600 * 1000;

// One host process for as long as the port is open, started again when it closed.
let shared = null;
function port() {
  if (!shared || shared.closed) shared = connect(HOST_NAME);
  return shared;
}

// A new host process for each message (runtime.sendNativeMessage). A transfer lives in its
// part file, not in the host, so a save works this way too, only slower.
const oncePort = {
  send: (message) => runtime.sendNativeMessage(HOST_NAME, message),
  inOrder: false,
  closed: null,
  close() {},
};

// Saves in progress, by part file: {url, name, started}. Kept across restarts.
async function pending() {
  return (await storage.get("saves")).saves ?? {};
}
async function record(part, entry) {
  const saves = await pending();
  if (entry) saves[part] = entry;
  else delete saves[part];
  await storage.set({ saves });
}

// Streams `url` into Downloads as `name`; resolves with the name it was saved under.
// `onProgress(saved, total)` follows every chunk the host wrote.
async function saveUrl(url, name, onProgress) {
  let part = null;
  const saved = await save(port(), name, url, {
    onBegin: (made) => {
      part = made;
      record(part, { url, name, started: Date.now() });
    },
    onProgress,
  }).finally(() => part && record(part, null));
  return saved;
}

// Continues every save that a crash interrupted, gives up those that are stale or whose part
// file is gone, and removes the part files of the ones given up. Only part files this
// extension recorded are touched: Firefox's own downloads end in ".part" too.
async function resumeInterrupted(onProgress) {
  const listed = new Map((await parts(port())).map((p) => [p.part, p]));
  const results = [];
  for (const [part, { url, name, started }] of Object.entries(await pending())) {
    if (!listed.has(part)) {
      await record(part, null);
      continue;
    }
    if (Date.now() - started > STALE_MS) {
      await abort(port(), part).catch(() => {});
      await record(part, null);
      results.push({ part, removed: true });
      continue;
    }
    try {
      const saved = await resume(port(), part, name, url, { onProgress });
      await record(part, null);
      results.push({ part, saved });
    } catch (error) {
      results.push({ part, error: String(error.message) });
    }
  }
  return results;
}

// What the extension's own pages and content scripts ask for:
// {save: {url, name}} is answered {saved: final name} or {error: text}.
runtime.onMessage.addListener((message, sender, respond) => {
  if (sender.id !== runtime.id || !message?.save) return false;
  const { url, name } = message.save;
  saveUrl(url, name, (saved, total) => console.log(`${name}: ${saved} of ${total ?? "?"} bytes`))
    .then((saved) => respond({ saved }), (error) => respond({ error: String(error.message) }));
  return true;  // the answer comes later
});

runtime.onStartup?.addListener(() => {
  resumeInterrupted().then((results) => results.length && console.log("resumed", results));
});

// For the console (and the browser tests): the library and the extension's own functions.
globalThis.example = {
  port, currentPort: () => shared, oncePort, saveUrl, resumeInterrupted, record, pending,
  connect, save, resume, status, parts, abort, find, open, reveal, version, toBase64,
};
