// Test-only: what the end-to-end test asks of the example extension, run where the extension's
// functions live (Chromium: its service worker; Firefox: an extension page that loads
// background.js). Arguments and results cross to the test as JSON text, which every browser's
// remote control hands over unchanged.
globalThis.e2e = (() => {
  const ex = () => globalThis.example;
  const sender = (how) => (how === "port" ? ex().port() : ex().oncePort);
  const text = async (promise) => JSON.stringify(await promise);
  const sha256 = async (bytes) => {
    const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
    return [...digest].map((b) => b.toString(16).padStart(2, "0")).join("");
  };
  return {
    ask: (how, message) => text(sender(how).send(JSON.parse(message))),
    findFile: (how, name) => text(ex().find(sender(how), name)),
    portIsOpen: () => text(ex().currentPort()?.closed === null),
    // Random bytes saved with the library's save: the saved name, the bytes' SHA-256 and the
    // progress.
    saveRandom: (how, name, size) => text((async () => {
      const bytes = new Uint8Array(size);
      for (let i = 0; i < size; i += 65536) crypto.getRandomValues(bytes.subarray(i, i + 65536));
      const progress = [];
      const onProgress = (done, total) => progress.push([done, total]);
      const saved = await ex().save(sender(how), name, bytes, { onProgress, channel: false });
      return { saved, hash: await sha256(bytes), progress };
    })()),
    // Random bytes saved by the library's own choice of path, and what it said of it.
    saveOverChannel: (how, name, size) => text((async () => {
      const bytes = new Uint8Array(size);
      for (let i = 0; i < size; i += 65536) crypto.getRandomValues(bytes.subarray(i, i + 65536));
      const debug = [];
      const saved = await ex().save(sender(how), name, bytes, { onDebug: (t) => debug.push(t) });
      return { saved, hash: await sha256(bytes), debug };
    })()),
    // A URL streamed into Downloads by the extension: the saved name and the progress.
    saveUrl: (url, name) => text((async () => {
      const progress = [];
      const saved = await ex().saveUrl(url, name, (done, total) => progress.push([done, total]));
      return { saved, progress, pending: await ex().pending() };
    })()),
    // A save whose connection drops, then its resume.
    dropAndResume: (url, name) => text((async () => {
      const failure = await ex().saveUrl(url, name)
        .then(() => null, (error) => ({ code: error.code, part: error.record?.part }));
      const recorded = Object.keys(await ex().pending());
      const saved = await ex().resumePart(failure.part);
      return { failure, recorded, saved, pending: await ex().pending() };
    })()),
    // What the extension does at start: the saves it recorded, resumed.
    resumeInterrupted: (records) => text((async () => {
      for (const [part, entry] of Object.entries(JSON.parse(records))) {
        await ex().record(part, entry);
      }
      return { results: await ex().resumeInterrupted(), pending: await ex().pending() };
    })()),
    // From an extension page to the extension's own message listener.
    askExtensionToSave: (url, name) => text(
      (globalThis.browser ?? chrome).runtime.sendMessage({ save: { url, name } })),
  };
})();
