// tamberlo-host driven through a real Chromium by the example extension: the host manifest is
// written by the registration command, the browser starts the host, and every message goes from
// the extension's service worker through the browser's native messaging and back.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, test } from "node:test";
import { chromium } from "playwright-core";

import { nativeMessagingChecks } from "./checks.mjs";
import {
  HostWorld, chromiumExtensionId, extensionDir, here, readManifest,
} from "./support.mjs";

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
  // Handed over as source: the worker's own policy forbids eval, the debugger's does not.
  await worker.evaluate(fs.readFileSync(path.join(here, "bridge", "bridge.js"), "utf8"));
});

after(async () => {
  await context?.close();
  world?.remove();
});

test("the extension's ID is the one computed from its key", () => {
  assert.equal(worker.url(), `${origin}background.js`);
});

// The bridge's functions, run in the service worker; JSON text both ways.
async function bridge(method, ...args) {
  const reply = await worker.evaluate(([method, args]) => e2e[method](...args), [method, args]);
  return JSON.parse(reply);
}

nativeMessagingChecks(() => ({
  world,
  // Chromium tells the host who calls: the extension's origin.
  hostArgs: origin,
  ask: (how, message) => bridge("ask", how, JSON.stringify(message)),
  saveRandom: (how, name, size) => bridge("saveRandom", how, name, size),
  findFile: (how, name) => bridge("findFile", how, name),
  portIsOpen: () => bridge("portIsOpen"),
  saveUrl: (url, name) => bridge("saveUrl", url, name),
  resumeInterrupted: (records) => bridge("resumeInterrupted", JSON.stringify(records)),
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
