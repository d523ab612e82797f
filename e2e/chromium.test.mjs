// tamberlo-host driven through a real Chromium by the example extension: the host manifest is
// written by the registration command, the browser starts the host, and every message goes from
// the extension's service worker through the browser's native messaging and back.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, test } from "node:test";

import { launchChromium } from "./browsers.mjs";
import { nativeMessagingChecks } from "./checks.mjs";
import {
  HostWorld, chromiumExtensionId, extensionDir, here, readManifest,
} from "./support.mjs";

const extensionId = chromiumExtensionId(readManifest());
const origin = `chrome-extension://${extensionId}/`;

let world;
let browser;

before(async () => {
  world = new HostWorld("tamberlo-chromium-");
  const profile = path.join(world.root, "profile");
  world.register(["--user-data-dir", profile, "--extension-id", extensionId]);
  browser = await launchChromium({
    profile,
    env: world.browserEnv,
    extensionDir,
    bridge: "e2e",
    bridgeSource: fs.readFileSync(path.join(here, "bridge", "bridge.js"), "utf8"),
  });
});

after(async () => {
  await browser?.close();
  world?.remove();
});

test("the extension's ID is the one computed from its key", () => {
  assert.equal(browser.worker.url(), `${origin}background.js`);
});

const bridge = (method, ...args) => browser.call(method, ...args);

nativeMessagingChecks(() => ({
  world,
  // Chromium tells the host who calls: the extension's origin.
  hostArgs: origin,
  ask: (how, message) => bridge("ask", how, JSON.stringify(message)),
  saveRandom: (how, name, size) => bridge("saveRandom", how, name, size),
  saveOverChannel: (how, name, size) => bridge("saveOverChannel", how, name, size),
  findFile: (how, name) => bridge("findFile", how, name),
  portIsOpen: () => bridge("portIsOpen"),
  saveUrl: (url, name) => bridge("saveUrl", url, name),
  dropAndResume: (url, name) => bridge("dropAndResume", url, name),
  resumeInterrupted: (records) => bridge("resumeInterrupted", JSON.stringify(records)),
  askExtensionToSave: async (url, name) => {
    const page = await browser.context.newPage();
    try {
      await page.goto(`${origin}manifest.json`);
      return await page.evaluate((save) => chrome.runtime.sendMessage({ save }), { url, name });
    } finally {
      await page.close();
    }
  },
}));
