// tamberlo-host driven through a real, headless Firefox by the example extension, installed as
// a temporary add-on. The registration command writes the host manifest into the browser's
// home, as for a user; the checks run in an extension page that loads the extension's script.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, before } from "node:test";

import { nativeMessagingChecks } from "./checks.mjs";
import { Marionette } from "./marionette.mjs";
import { HostWorld, extensionDir, here, readManifest } from "./support.mjs";

const browserProgram = process.env.TAMBERLO_FIREFOX ?? "/usr/lib/firefox-esr/firefox-esr";
const addonId = readManifest().browser_specific_settings.gecko.id;
// Firefox picks a random internal address for an add-on unless the profile fixes it.
const addonUuid = "6f0c1d2e-3a4b-4c5d-8e6f-7a8b9c0d1e2f";

let world;
let firefox;
let marionette;
let browserHome;

const prefs = {
  "marionette.port": 0, // any free port; Firefox writes it to MarionetteActivePort
  "extensions.webextensions.uuids": JSON.stringify({ [addonId]: addonUuid }),
  "browser.shell.checkDefaultBrowser": false,
  "datareporting.policy.dataSubmissionEnabled": false,
  "toolkit.telemetry.reportingpolicy.firstRun": false,
  "app.update.disabledForTesting": true,
  "app.normandy.enabled": false,
  "messaging-system.rsexperimentloader.enabled": false,
};

async function waitFor(what, probe, timeoutMs = 30000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

before(async () => {
  world = new HostWorld("tamberlo-firefox-");
  browserHome = path.join(world.root, "browser-home");
  fs.mkdirSync(browserHome);
  // Firefox looks for user manifests under $HOME/.mozilla, where the command writes them.
  world.register(["--firefox-id", addonId], { ...process.env, HOME: browserHome });

  const addon = path.join(world.root, "addon");
  // Copied with the library that the extension's folder links to.
  fs.cpSync(extensionDir, addon, { recursive: true, dereference: true });
  fs.cpSync(path.join(here, "bridge"), addon, { recursive: true });

  const profile = path.join(world.root, "profile");
  fs.mkdirSync(profile);
  fs.writeFileSync(path.join(profile, "user.js"), Object.entries(prefs)
    .map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`)
    .join(""));
  const logPath = path.join(world.root, "firefox.log");
  const log = fs.openSync(logPath, "w");
  firefox = spawn(browserProgram, [
    "--headless", "--marionette", "--remote-allow-system-access", "--no-remote",
    "--profile", profile,
  ], { env: { ...process.env, HOME: browserHome }, stdio: ["ignore", log, log] });

  const portFile = path.join(profile, "MarionetteActivePort");
  const port = await waitFor("Marionette", () => {
    if (firefox.exitCode !== null) throw new Error(`Firefox exited with ${firefox.exitCode}`);
    return fs.existsSync(portFile) && Number(fs.readFileSync(portFile, "utf8"));
  }).catch((error) => {
    const said = fs.readFileSync(logPath, "utf8").split("\n").slice(-20).join("\n");
    throw new Error(`${error.message}; Firefox said:\n${said}`);
  });
  marionette = await Marionette.connect(port);
  await marionette.command("Addon:Install", { path: addon, temporary: true });

  // A page of the add-on's own, opened from the browser's side: web content may not go there.
  await marionette.command("Marionette:SetContext", { value: "chrome" });
  await marionette.command("WebDriver:ExecuteScript", {
    script: `const window = Services.wm.getMostRecentWindow("navigator:browser");
      window.gBrowser.selectedTab = window.gBrowser.addTab(arguments[0], {
        triggeringPrincipal: Services.scriptSecurityManager.getSystemPrincipal() });`,
    args: [`moz-extension://${addonUuid}/bridge.html`],
  });
  await marionette.command("Marionette:SetContext", { value: "content" });
  const handles = await marionette.command("WebDriver:GetWindowHandles");
  await marionette.command("WebDriver:SwitchToWindow", { handle: handles.at(-1) });
  await waitFor("the bridge page", () => marionette.command("WebDriver:ExecuteScript", {
    script: "return Boolean((window.wrappedJSObject ?? window).e2e);",
  }));
});

after(async () => {
  if (marionette) {
    await marionette.command("Marionette:Quit", { flags: ["eForceQuit"] }).catch(() => {});
    marionette.close();
  }
  if (firefox && firefox.exitCode === null) {
    const exited = new Promise((resolve) => firefox.once("exit", resolve));
    const timer = setTimeout(() => firefox.kill("SIGKILL"), 10000);
    await exited;
    clearTimeout(timer);
  }
  world?.remove();
});

// The bridge's functions, run in the extension page; JSON text both ways.
async function bridge(method, ...args) {
  const reply = await marionette.command("WebDriver:ExecuteAsyncScript", {
    script: `const [method, args, done] = arguments;
      const page = window.wrappedJSObject ?? window;
      page.e2e[method](...args).then(done, (error) => done({ error: String(error) }));`,
    args: [method, args],
  });
  if (typeof reply !== "string") throw new Error(`${method}: ${reply?.error ?? reply}`);
  return JSON.parse(reply);
}

const manifestPath = () =>
  path.join(browserHome, ".mozilla", "native-messaging-hosts", "tamberlo.host.json");

nativeMessagingChecks(() => ({
  world,
  // Firefox tells the host its manifest's path and the calling add-on's ID.
  hostArgs: `${manifestPath()} ${addonId}`,
  ask: (how, message) => bridge("ask", how, JSON.stringify(message)),
  saveRandom: (how, name, size) => bridge("saveRandom", how, name, size),
  findFile: (how, name) => bridge("findFile", how, name),
  portIsOpen: () => bridge("portIsOpen"),
  askExtensionToSave: (url, name) => bridge("askExtensionToSave", url, name),
  saveUrl: (url, name) => bridge("saveUrl", url, name),
  resumeInterrupted: (records) => bridge("resumeInterrupted", JSON.stringify(records)),
}));
