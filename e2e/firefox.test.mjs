// tamberlo-host driven through a real, headless Firefox by the example extension, installed as
// a temporary add-on. The registration command writes the host manifest into the browser's
// home, as for a user; the checks run in an extension page that loads the extension's script.
import fs from "node:fs";
import path from "node:path";
import { after, before } from "node:test";

import { launchFirefox } from "./browsers.mjs";
import { nativeMessagingChecks } from "./checks.mjs";
import { HostWorld, extensionDir, here, readManifest } from "./support.mjs";

const addonId = readManifest().browser_specific_settings.gecko.id;

let world;
let browser;
let browserHome;

before(async () => {
  world = new HostWorld("tamberlo-firefox-");
  browserHome = world.browserEnv.HOME;
  fs.mkdirSync(browserHome, { recursive: true });
  // Firefox looks for user manifests under $HOME/.mozilla, where the command writes them.
  world.register(["--browser", "firefox", "--firefox-id", addonId], world.browserEnv);

  // Copied with the library that the extension's folder links to.
  const addon = path.join(world.root, "addon");
  fs.cpSync(extensionDir, addon, { recursive: true, dereference: true });
  fs.cpSync(path.join(here, "bridge"), addon, { recursive: true });
  browser = await launchFirefox({
    profile: path.join(world.root, "profile"),
    env: world.browserEnv,
    addonDir: addon,
    addonId,
    page: "bridge.html",
    bridge: "e2e",
  });
});

after(async () => {
  await browser?.close();
  world?.remove();
});

const bridge = (method, ...args) => browser.call(method, ...args);

const manifestPath = () =>
  path.join(browserHome, ".mozilla", "native-messaging-hosts", "tamberlo.host.json");

nativeMessagingChecks(() => ({
  world,
  // Firefox tells the host its manifest's path and the calling add-on's ID.
  hostArgs: `${manifestPath()} ${addonId}`,
  ask: (how, message) => bridge("ask", how, JSON.stringify(message)),
  saveRandom: (how, name, size) => bridge("saveRandom", how, name, size),
  saveOverChannel: (how, name, size) => bridge("saveOverChannel", how, name, size),
  findFile: (how, name) => bridge("findFile", how, name),
  portIsOpen: () => bridge("portIsOpen"),
  askExtensionToSave: (url, name) => bridge("askExtensionToSave", url, name),
  saveUrl: (url, name) => bridge("saveUrl", url, name),
  dropAndResume: (url, name) => bridge("dropAndResume", url, name),
  resumeInterrupted: (records) => bridge("resumeInterrupted", JSON.stringify(records)),
}));
