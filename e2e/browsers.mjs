// Starting the real browsers with an extension loaded, for the browser tests and the browser
// benchmark: headless Chromium through playwright-core, headless Firefox through Marionette.
// Each gives `call(method, ...args)`, which runs `globalThis[bridge][method](...args)` where
// the extension's code lives (Chromium: its service worker; Firefox: an extension page) and
// hands back its JSON text parsed, and `pid`, the browser's main process.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { chromium } from "playwright-core";

import { Marionette } from "./marionette.mjs";

export const chromiumProgram = process.env.TAMBERLO_CHROMIUM ?? "/usr/lib/chromium/chromium";
export const firefoxProgram = process.env.TAMBERLO_FIREFOX ?? "/usr/lib/firefox-esr/firefox-esr";

async function waitFor(what, probe, timeoutMs = 30000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// The process whose command line holds every one of `parts` and is no child of another such.
function mainProcess(parts) {
  for (const pid of fs.readdirSync("/proc").filter((n) => /^\d+$/.test(n))) {
    let cmdline;
    try {
      cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, "utf8").split("\0");
    } catch {
      continue;
    }
    if (parts.every((p) => cmdline.includes(p)) && !cmdline.some((a) => a.startsWith("--type="))) {
      return Number(pid);
    }
  }
  return null;
}

// Chromium with the extension in `extensionDir` loaded, its profile in `profile` and its home
// in `home` (or the whole environment `env`). `bridgeSource` is evaluated in the service worker
// first.
export async function launchChromium({
  profile, home, env, extensionDir, bridge, bridgeSource, extraArgs = [],
}) {
  const args = [
    // New headless mode runs extensions; Playwright's own headless flag would pick the old one.
    "--headless=new",
    "--disable-gpu", "--no-first-run", "--disable-background-networking",
    "--disable-component-update", "--disable-sync",
    `--disable-extensions-except=${extensionDir}`, `--load-extension=${extensionDir}`,
  ];
  if (process.getuid() === 0) args.push("--no-sandbox");
  args.push(...extraArgs);
  // Playwright otherwise follows the service worker's network through the debugger, which
  // slows what the worker sends over a WebSocket. Read by playwright-core in this process when
  // it meets the worker.
  process.env.PLAYWRIGHT_DISABLE_SERVICE_WORKER_NETWORK ??= "1";
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumProgram,
    headless: false,
    args,
    // The browser gets a home of its own: nothing of the real user's is read or written.
    env: env ?? { ...process.env, HOME: home },
  });
  const worker = context.serviceWorkers()[0] ?? (await context.waitForEvent("serviceworker"));
  // Handed over as source: the worker's own policy forbids eval, the debugger's does not.
  await worker.evaluate(bridgeSource);
  return {
    context,
    worker,
    pid: mainProcess([`--user-data-dir=${profile}`]),
    async call(method, ...params) {
      const reply = await worker.evaluate(([bridge, method, params]) =>
        globalThis[bridge][method](...params), [bridge, method, params]);
      return JSON.parse(reply);
    },
    // Needs the browser started with --js-flags=--expose-gc.
    collectGarbage: () => worker.evaluate(() => globalThis.gc?.()),
    close: () => context.close(),
  };
}

// Firefox with the add-on in `addonDir` installed as a temporary add-on and its page `page`
// opened, its profile in `profile` (made with `prefs` when new) and its home in `home` (or the
// whole environment `env`).
export async function launchFirefox({ profile, home, env, addonDir, addonId, page, bridge, prefs }) {
  // Firefox picks a random internal address for an add-on unless the profile fixes it.
  const addonUuid = "6f0c1d2e-3a4b-4c5d-8e6f-7a8b9c0d1e2f";
  const allPrefs = {
    "marionette.port": 0, // any free port; Firefox writes it to MarionetteActivePort
    "extensions.webextensions.uuids": JSON.stringify({ [addonId]: addonUuid }),
    "browser.shell.checkDefaultBrowser": false,
    "datareporting.policy.dataSubmissionEnabled": false,
    "toolkit.telemetry.reportingpolicy.firstRun": false,
    "app.update.disabledForTesting": true,
    "app.normandy.enabled": false,
    "messaging-system.rsexperimentloader.enabled": false,
    // A profile whose Firefox was killed starts afresh: no tabs restored from the killed session
    // beside the add-on's page, and no safe mode after repeated kills.
    "browser.sessionstore.resume_from_crash": false,
    "browser.startup.page": 0,
    "toolkit.startup.max_resumed_crashes": -1,
    ...prefs,
  };
  fs.mkdirSync(profile, { recursive: true });
  fs.writeFileSync(path.join(profile, "user.js"), Object.entries(allPrefs)
    .map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`)
    .join(""));
  const portFile = path.join(profile, "MarionetteActivePort");
  fs.rmSync(portFile, { force: true });
  const logPath = path.join(profile, "..", `firefox-${path.basename(profile)}.log`);
  const log = fs.openSync(logPath, "w");
  const firefox = spawn(firefoxProgram, [
    "--headless", "--marionette", "--remote-allow-system-access", "--no-remote",
    "--profile", profile,
  ], { env: env ?? { ...process.env, HOME: home }, stdio: ["ignore", log, log] });

  const port = await waitFor("Marionette", () => {
    if (firefox.exitCode !== null) throw new Error(`Firefox exited with ${firefox.exitCode}`);
    return fs.existsSync(portFile) && Number(fs.readFileSync(portFile, "utf8"));
  }).catch((error) => {
    const said = fs.readFileSync(logPath, "utf8").split("\n").slice(-20).join("\n");
    throw new Error(`${error.message}; Firefox said:\n${said}`);
  });
  const marionette = await Marionette.connect(port);
  await marionette.command("Addon:Install", { path: addonDir, temporary: true });

  // A page of the add-on's own, opened from the browser's side: web content may not go there.
  await marionette.command("Marionette:SetContext", { value: "chrome" });
  await marionette.command("WebDriver:ExecuteScript", {
    script: `const window = Services.wm.getMostRecentWindow("navigator:browser");
      window.gBrowser.selectedTab = window.gBrowser.addTab(arguments[0], {
        triggeringPrincipal: Services.scriptSecurityManager.getSystemPrincipal() });`,
    args: [`moz-extension://${addonUuid}/${page}`],
  });
  await marionette.command("Marionette:SetContext", { value: "content" });
  const handles = await marionette.command("WebDriver:GetWindowHandles");
  await marionette.command("WebDriver:SwitchToWindow", { handle: handles.at(-1) });
  await waitFor("the add-on's page", () => marionette.command("WebDriver:ExecuteScript", {
    script: `return Boolean((window.wrappedJSObject ?? window)[arguments[0]]);`,
    args: [bridge],
  }));
  await marionette.command("WebDriver:SetTimeouts", { script: 3600 * 1000 });

  return {
    marionette,
    pid: firefox.pid,
    async call(method, ...params) {
      const reply = await marionette.command("WebDriver:ExecuteAsyncScript", {
        // Just after it first appeared, the add-on's page may be loaded once more (seen on a
        // browser's first start, as Firefox settles which process the add-on runs in): the
        // bridge is then missing for a moment, and the call waits for it.
        script: `const [bridge, method, params, done] = arguments;
          const until = Date.now() + 10000;
          (function callWhenThere() {
            const target = (window.wrappedJSObject ?? window)[bridge];
            if (!target && Date.now() < until) return setTimeout(callWhenThere, 20);
            if (!target) return done({ error: "the page has no " + bridge + " bridge" });
            target[method](...params).then(done, (error) => done({ error: String(error) }));
          })();`,
        args: [bridge, method, params],
      });
      if (typeof reply !== "string") throw new Error(`${method}: ${reply?.error ?? reply}`);
      return JSON.parse(reply);
    },
    // A full collection in the browser's process and in every child process.
    async collectGarbage() {
      await marionette.command("Marionette:SetContext", { value: "chrome" });
      await marionette.command("WebDriver:ExecuteScript", {
        script: `Services.obs.notifyObservers(null, "child-gc-request");
          Cu.forceGC(); Cu.forceCC();`,
      });
      await marionette.command("Marionette:SetContext", { value: "content" });
    },
    // The process the add-on's code runs in, as Firefox reports it.
    async extensionPid() {
      await marionette.command("Marionette:SetContext", { value: "chrome" });
      const pids = await marionette.command("WebDriver:ExecuteAsyncScript", {
        script: `const done = arguments[arguments.length - 1];
          ChromeUtils.requestProcInfo().then((info) =>
            done(info.children.filter((c) => c.type === "extension").map((c) => c.pid)));`,
      });
      await marionette.command("Marionette:SetContext", { value: "content" });
      return pids[0];
    },
    async close() {
      await marionette.command("Marionette:Quit", { flags: ["eForceQuit"] }).catch(() => {});
      marionette.close();
      if (firefox.exitCode === null) {
        const exited = new Promise((resolve) => firefox.once("exit", resolve));
        const timer = setTimeout(() => firefox.kill("SIGKILL"), 10000);
        await exited;
        clearTimeout(timer);
      }
    },
  };
}
