// tamberlo-host driven through a real Chromium by the example extension: the host manifest is
// written by the registration command, the browser starts the host, and every message goes from
// the extension's service worker through the browser's native messaging and back.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, test } from "node:test";
import { chromium } from "playwright-core";

import { nativeMessagingChecks } from "./checks.mjs";
import { HostWorld, chromiumExtensionId, extensionDir, readManifest } from "./support.mjs";

const browserProgram = process.env.TAMBERLO_CHROMIUM ?? "/usr/lib/chromium/chromium";
const extensionId = chromiumExtensionId(readManifest());
const origin = `chrome-extension://${extensionId}/`;

let world;
let context;
let worker;

before(async () => {
  world = new HostWorld("tamberlo-chromium-");
  const profile = path.join(world.root, "profile");
  world.register(["--user-data-dir", profile, "--extension-id", extensionId]);
  const args = [
    // New headless mode runs extensions; Playwright's own headless flag would pick the old one.
    "--headless=new",
    "--disable-gpu", "--no-first-run", "--disable-background-networking",
    "--disable-component-update", "--disable-sync",
    `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
  ];
  if (process.getuid() === 0) args.push("--no-sandbox");
  context = await chromium.launchPersistentContext(profile, {
    executablePath: browserProgram,
    headless: false,
    args,
    // The browser gets a home of its own too: nothing of the real user's is read or written.
    env: { ...process.env, HOME: path.join(world.root, "browser-home") },
  });
  worker = context.serviceWorkers()[0] ?? (await context.waitForEvent("serviceworker"));
});

after(async () => {
  await context?.close();
  world?.remove();
});

test("the extension's ID is the one computed from its key", () => {
  assert.equal(worker.url(), `${origin}background.js`);
});

// Runs `body(send, arg)` in the service worker, with `send` talking to the host the given way:
// "once" through chrome.runtime.sendNativeMessage, "port" through one connectNative port that
// stays open across calls.
function inWorker(how, body, arg) {
  const send = how === "port" ? "(globalThis.testPort ??= connect()).send" : "sendOnce";
  // Handed over as source: the worker's own policy forbids eval, the debugger's does not.
  return worker.evaluate(`(${body})(${send}, ${JSON.stringify(arg)})`);
}

nativeMessagingChecks(() => ({
  world,
  // Chromium tells the host who calls: the extension's origin.
  hostArgs: origin,
  ask: (how, message) => inWorker(how, (send, message) => send(message), message),
  saveRandom: (how, name, size) => inWorker(how, async (send, { name, size }) => {
    const bytes = new Uint8Array(size);
    for (let i = 0; i < size; i += 65536) crypto.getRandomValues(bytes.subarray(i, i + 65536));
    const progress = [];
    const saved = await saveFile(send, name, bytes, (done, total) => progress.push([done, total]));
    const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
    const hash = [...digest].map((b) => b.toString(16).padStart(2, "0")).join("");
    return { saved, hash, progress };
  }, { name, size }),
  findFile: (how, name) => inWorker(how, (send, name) => findFile(send, name), name),
  portIsOpen: () => worker.evaluate(() => globalThis.testPort?.isOpen ?? false),
  askExtensionToSave: async (url, name) => {
    const page = await context.newPage();
    try {
      await page.goto(`${origin}manifest.json`);
      return await page.evaluate((save) => chrome.runtime.sendMessage({ save }), { url, name });
    } finally {
      await page.close();
    }
  },
}));
