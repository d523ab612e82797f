// Test-only: what the end-to-end test asks of the example extension, run where the extension's
// functions live (Chromium: its service worker; Firefox: an extension page that loads
// background.js). Arguments and results cross to the test as JSON text, which every browser's
// remote control hands over unchanged.
globalThis.e2e = (() => {
  let port = null;
  const sender = (how) => (how === "port" ? (port ??= connect()).send : sendOnce);
  const text = async (promise) => JSON.stringify(await promise);
  return {
    ask: (how, message) => text(sender(how)(JSON.parse(message))),
    findFile: (how, name) => text(findFile(sender(how), name)),
    portIsOpen: () => text(port?.isOpen ?? false),
    // Random bytes saved with saveFile: the saved name, the bytes' SHA-256 and the progress.
    saveRandom: (how, name, size) => text((async () => {
      const bytes = new Uint8Array(size);
      for (let i = 0; i < size; i += 65536) crypto.getRandomValues(bytes.subarray(i, i + 65536));
      const progress = [];
      const onProgress = (done, total) => progress.push([done, total]);
      const saved = await saveFile(sender(how), name, bytes, onProgress);
      const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
      const hash = [...digest].map((b) => b.toString(16).padStart(2, "0")).join("");
      return { saved, hash, progress };
    })()),
    // From an extension page to the extension's own message listener.
    askExtensionToSave: (url, name) => text(chrome.runtime.sendMessage({ save: { url, name } })),
  };
})();
