// tamberlo example extension: saves what its pages ask for into the user's Downloads folder
// through the tamberlo.host native-messaging host, with the client library in
// tamberlo-client/ (the repository's client/). A save streams the URL's body to the host; the
// library keeps its record in storage.local (one key per part file) from the moment the part
// file exists. A save can be paused, resumed and discarded; one that a dropped connection, a
// closed browser or a dead host stopped is resumed when the extension starts. Only part files
// the library began are ever touched: Firefox's own downloads end in ".part" too.
import {
  HOST_NAME, PAUSE, REGISTRY_PREFIX, abort, begin, connect, find, open, parts, resume, reveal,
  save, status, toBase64, version,
} from "./tamberlo-client/index.js";

const runtime = globalThis.browser?.runtime ?? globalThis.chrome.runtime;
const storage = (globalThis.browser ?? globalThis.chrome).storage.local;

// A save not resumed within this long is given up and its part file removed.
const STALE_MS = 7 * 24 * 3600 * 1000;

// One host process for as long as the port is open, started again when it closed. An open
// native port also keeps Chromium's service worker alive for as long as a save runs.
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

// Writes under way in this context, by part file: the signal's controller, to pause or cancel.
const running = new Map();

// Runs `work` while no other context of the extension (a second page, the worker) works on
// `part`; resolves with undefined, doing nothing, when one does.
async function exclusive(part, work) {
  const locks = globalThis.navigator?.locks;
  if (!locks) return work();
  return locks.request(`tamberlo:${part}`, { ifAvailable: true },
    (lock) => (lock ? work() : undefined));
}

// Writes a record into the library's registry by hand (the tests and benchmarks do, to stand
// for a save an earlier session began); null removes it.
async function record(part, entry) {
  if (entry) await storage.set({ [REGISTRY_PREFIX + part]: { part, started: Date.now(), ...entry } });
  else await storage.remove(REGISTRY_PREFIX + part);
}

// The registry's records, by part file.
async function pending() {
  const all = await storage.get(null);
  return Object.fromEntries(Object.entries(all)
    .filter(([key]) => key.startsWith(REGISTRY_PREFIX))
    .map(([key, value]) => [key.slice(REGISTRY_PREFIX.length), value]));
}

// Runs one write (a save's or a resume's) of `part`, pausable and cancellable from `running`.
async function tracked(part, write) {
  const controller = new AbortController();
  running.set(part, controller);
  try {
    return await exclusive(part, () => write(controller.signal));
  } finally {
    running.delete(part);
  }
}

// Streams `url` into Downloads as `name`; resolves with the name it was saved under.
// `onProgress(saved, total)` follows every chunk the host wrote. A failure keeps the part file
// (and its record) unless nothing was saved; error.record says which.
async function saveUrl(url, name, onProgress) {
  const transfer = await begin(port(), name, { url });
  return tracked(transfer.part, async (signal) => {
    try {
      await transfer.write(url, { onProgress, signal });
      return await transfer.end();
    } catch (error) {
      if (transfer.size === 0 && error.code !== "aborted" && error.code !== "host-gone") {
        await transfer.abort();
      }
      throw error;
    }
  });
}

// Stops a save under way and keeps its part file; resume() continues it.
function pause(part) {
  running.get(part)?.abort(PAUSE);
}

// Continues a paused or interrupted save of this extension.
async function resumePart(part, onProgress) {
  const entry = (await pending())[part];
  if (!entry) throw new Error(`${part} is not a save of this extension`);
  return tracked(part, (signal) => resume(port(), entry, undefined, { onProgress, signal }));
}

// Cancels a save: stops it if it runs, removes its part file and its record.
async function discard(part) {
  running.get(part)?.abort();
  const entry = (await pending())[part];
  if (entry) await abort(port(), entry);
}

// Continues every save that was interrupted, gives up those that are stale (removing their part
// files) and forgets those whose part file is gone. Only parts in the registry are touched.
async function resumeInterrupted(onProgress) {
  const records = await pending();
  if (Object.keys(records).length === 0) return [];  // no host started for nothing
  const listed = new Map((await parts(port())).map((p) => [p.part, p]));
  const results = [];
  for (const [part, entry] of Object.entries(records)) {
    if (running.has(part)) continue;
    if (!listed.has(part)) {
      await record(part, null);
      continue;
    }
    if (Date.now() - entry.started > STALE_MS) {
      await abort(port(), entry).catch(() => {});
      results.push({ part, removed: true });
      continue;
    }
    try {
      const saved = await resumePart(part, onProgress);
      if (saved !== undefined) results.push({ part, saved });
    } catch (error) {
      results.push({ part, error: String(error.message), code: error.code });
    }
  }
  return results;
}

// What the extension's own pages and content scripts ask for:
// {save: {url, name}} is answered {saved: final name} or {error: text, code};
// {pause: part}, {resume: part} and {discard: part} act on a save; {list: true} answers
// {saves: [{part, size, record}]}.
runtime.onMessage.addListener((message, sender, respond) => {
  if (sender.id !== runtime.id || !message) return false;
  const log = (name) => (saved, total) => console.log(`${name}: ${saved} of ${total ?? "?"} bytes`);
  let answer;
  if (message.save) {
    const { url, name } = message.save;
    answer = saveUrl(url, name, log(name)).then((saved) => ({ saved }));
  } else if (message.pause) {
    pause(message.pause);
    answer = Promise.resolve({ paused: message.pause });
  } else if (message.resume) {
    answer = resumePart(message.resume, log(message.resume)).then((saved) => ({ saved }));
  } else if (message.discard) {
    answer = discard(message.discard).then(() => ({ discarded: message.discard }));
  } else if (message.list) {
    answer = parts(port()).then((saves) => ({ saves }));
  } else {
    return false;
  }
  answer.then(respond, (error) => respond({ error: String(error.message), code: error.code }));
  return true;  // the answer comes later
});

// At every start of the extension (installed, updated, woken) and of the browser.
const resumeAll = () => resumeInterrupted()
  .then((results) => results.length && console.log("resumed", results))
  .catch((error) => console.log("resume at start:", error.message));
runtime.onStartup?.addListener(resumeAll);
resumeAll();

// For the console (and the browser tests): the library and the extension's own functions.
globalThis.example = {
  port, currentPort: () => shared, oncePort, saveUrl, pause, resumePart, discard,
  resumeInterrupted, record, pending, connect, save, resume, status, parts, abort, find, open,
  reveal, version, toBase64,
};
