// tamberlo-host driven through a real Chromium by the example extension: the host manifest is
// written by the registration command, the browser starts the host, and every message goes from
// the extension's service worker through the browser's native messaging and back.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { chromium } from "playwright-core";

import {
  HostWorld, MiB, chromiumExtensionId, extensionDir, readManifest, sha256,
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

const ask = (how, message) => inWorker(how, (send, message) => send(message), message);

// Random bytes made in the worker, saved with the extension's saveFile; gives the saved name,
// the worker's hash of the bytes and the progress reports.
function saveRandom(how, name, size) {
  return inWorker(how, async (send, { name, size }) => {
    const bytes = new Uint8Array(size);
    for (let i = 0; i < size; i += 65536) crypto.getRandomValues(bytes.subarray(i, i + 65536));
    const progress = [];
    const saved = await saveFile(send, name, bytes, (done, total) => progress.push([done, total]));
    const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
    const hash = [...digest].map((b) => b.toString(16).padStart(2, "0")).join("");
    return { saved, hash, progress };
  }, { name, size });
}

const ways = [
  { how: "once", title: "chrome.runtime.sendNativeMessage" },
  { how: "port", title: "one connectNative port" },
];

for (const { how, title } of ways) {
  describe(`through ${title}`, () => {
    const clip = `${how}-clip.mp4`;
    let startsBefore;
    before(() => {
      startsBefore = world.starts().length;
    });

    test("messages that are not file requests come back as the echo", async () => {
      const messages = [
        { type: "hello", list: [1, 2.5, null, { nested: true }], text: "ünïcödé" },
        { type: 7 },
        { no: "type at all" },
        { type: "file" },
        { type: "File.exists", name: "clip.mp4" },
      ];
      for (const message of messages) {
        assert.deepEqual(await ask(how, message), { echo: message });
      }
    });

    test("a transfer in 1 MiB chunks ends in a byte-exact file", async () => {
      const size = 3 * MiB + 12345;
      const { saved, hash, progress } = await saveRandom(how, clip, size);
      assert.equal(saved, clip);
      assert.deepEqual(progress, [[MiB, size], [2 * MiB, size], [3 * MiB, size], [size, size]]);
      const onDisk = world.read(clip);
      assert.equal(onDisk.length, size);
      assert.equal(sha256(onDisk), hash);
      assert.ok(!world.downloadsNames().some((n) => n.endsWith(".part")), "no part file left");
    });

    test("a second save of the same name becomes a numbered copy", async () => {
      const { saved, hash } = await saveRandom(how, clip, MiB + 1);
      assert.equal(saved, `${how}-clip (1).mp4`);
      assert.equal(sha256(world.read(saved)), hash);
      assert.equal(world.read(clip).length, 3 * MiB + 12345, "the first file is untouched");
    });

    test("file.exists finds the name, or with \"after\" its copy", async () => {
      // Only a copy of this name stands in Downloads: found only when a time bound lets
      // copies count.
      fs.writeFileSync(path.join(world.downloads, `${how}-only (1).txt`), "copy");
      const inAnHour = Date.now() + 3600 * 1000;
      const cases = [
        [{ name: clip }, { exists: true, name: clip }],
        [{ name: `${how}-missing.mp4` }, { exists: false }],
        [{ name: `${how}-only.txt` }, { exists: false }],
        [{ name: `${how}-only.txt`, after: 0 }, { exists: true, name: `${how}-only (1).txt` }],
        [{ name: clip, after: 0 }, { exists: true, name: clip }],
        [{ name: clip, after: inAnHour }, { exists: false }],
        [{ name: `${how}-only.txt`, after: String(0) }, { exists: false }],
      ];
      for (const [request, reply] of cases) {
        assert.deepEqual(await ask(how, { type: "file.exists", ...request }), reply,
          JSON.stringify(request));
      }
      assert.equal(await inWorker(how, (send, name) => findFile(send, name), clip), clip);
    });

    test("an aborted transfer leaves nothing behind", async () => {
      const name = `${how}-aborted.bin`;
      const begun = await ask(how, { type: "file.write.begin", name });
      assert.deepEqual(begun, { ok: true, part: `${name}.part` });
      const chunk = await ask(how, {
        type: "file.write.chunk", part: begun.part, offset: 0, data: btoa("some bytes"),
      });
      assert.deepEqual(chunk, { ok: true, size: 10 });
      assert.equal(world.read(begun.part).toString(), "some bytes");
      assert.deepEqual(await ask(how, { type: "file.write.abort", part: begun.part }), { ok: true });
      assert.ok(!world.downloadsNames().some((n) => n.startsWith(`${how}-aborted`)));
      const late = await ask(how, {
        type: "file.write.end", part: begun.part, name, size: 10,
      });
      assert.equal(late.ok, false);
      assert.ok(!world.downloadsNames().some((n) => n.startsWith(`${how}-aborted`)));
    });

    test("names that are not one file in Downloads are refused", async () => {
      const before = world.downloadsNames();
      for (const name of ["../escaped.mp4", "sub/clip.mp4", ".hidden.mp4", ""]) {
        assert.deepEqual(await ask(how, { type: "file.write.begin", name }),
          { ok: false, error: "not a file name" }, name);
        assert.deepEqual(await ask(how, { type: "file.exists", name }),
          { error: "not a file name" }, name);
        assert.deepEqual(await ask(how, { type: "file.open", name }),
          { ok: false, error: "not a file name" }, name);
      }
      assert.deepEqual(await ask(how, {
        type: "file.write.chunk", part: "../escaped.mp4.part", offset: 0, data: "",
      }), { ok: false, error: "bad chunk" });
      assert.deepEqual(await ask(how, { type: "file.write.abort", part: clip }),
        { ok: false, error: "not a part file" });
      assert.deepEqual(world.downloadsNames(), before);
      assert.ok(!fs.existsSync(path.join(world.home, "escaped.mp4")));
    });

    if (how === "port") {
      test("the port stays open after an error reply, with one host behind it", async () => {
        const answers = await inWorker(how, async (send) => [
          await send({ type: "file.write.begin", name: "../nope" }),
          await send({ type: "file.write.frobnicate", part: "x.part" }),
          await send({ type: "still there?" }),
          globalThis.testPort.isOpen,
        ]);
        assert.deepEqual(answers, [
          { ok: false, error: "not a file name" },
          { ok: false, error: "unknown message file.write.frobnicate" },
          { echo: { type: "still there?" } },
          true,
        ]);
        // Every message of this port's tests went to the host process the port started.
        assert.deepEqual(world.starts().slice(startsBefore), [origin]);
      });
    } else {
      test("each message starts a host of its own, told the caller's origin", async () => {
        const starts = world.starts().length;
        await ask(how, { type: "one" });
        await ask(how, { type: "two" });
        assert.deepEqual(world.starts().slice(starts), [origin, origin]);
      });
    }
  });
}

test("the extension saves what its pages ask it to, over a port", async () => {
  const page = await context.newPage();
  await page.goto(`${origin}manifest.json`);
  const text = "a page asked for this";
  const reply = await page.evaluate((save) => chrome.runtime.sendMessage({ save }), {
    url: `data:text/plain,${encodeURIComponent(text)}`, name: "from a page.txt",
  });
  assert.deepEqual(reply, { saved: "from a page.txt" });
  assert.equal(world.read("from a page.txt").toString(), text);
  await page.close();
});
