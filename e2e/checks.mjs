// What the end-to-end tests check in every browser: the whole message table, sent by the
// example extension through the browser's native messaging to a host the browser started.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { randomBytes } from "node:crypto";
import { after, before, describe, test } from "node:test";

import { MiB, serveFiles, sha256 } from "./support.mjs";

const ways = [
  { how: "once", title: "runtime.sendNativeMessage" },
  { how: "port", title: "one runtime.connectNative port" },
];

// The checks every browser must pass. `browser()` gives, once the browser runs, the driver:
//   world: the HostWorld the host runs in; hostArgs: the arguments the browser starts it with;
//   ask(how, message): one message through the extension, `how` being "once" (a host process
//     per message) or "port" (one port, kept open across calls); its reply;
//   saveRandom(how, name, size): random bytes saved with the library's save in chunk messages:
//     {saved, hash, progress};
//   saveOverChannel(how, name, size): the same, by the library's own choice of path (the
//     channel): {saved, hash, debug: what onDebug was told};
//   findFile(how, name): the library's find;
//   saveUrl(url, name): the extension's streamed save of a URL: {saved, progress, pending};
//   resumeInterrupted(records): the extension's start-up resume, after `records` (part file ->
//     {url, name, started}) were added to its saves in progress: {results, pending};
//   dropAndResume(url, name): the extension's save of a URL whose connection drops midway, then
//     its resume: {failure: {code, part}, recorded: part files in the registry, saved, pending};
//   portIsOpen(): whether the port of "port" is still open;
//   askExtensionToSave(url, name): a message from an extension page to the extension.
export function nativeMessagingChecks(browser) {
  const ask = (how, message) => browser().ask(how, message);
  const world = () => browser().world;
  for (const { how, title } of ways) {
    describe(`through ${title}`, () => {
      const clip = `${how}-clip.mp4`;
      let startsBefore;
      before(() => {
        startsBefore = world().starts()?.length;
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

      test("a transfer in 512 KiB chunks ends in a byte-exact file", async () => {
        const size = 3 * MiB + 12345;
        const { saved, hash, progress } = await browser().saveRandom(how, clip, size);
        assert.equal(saved, clip);
        const steps = [1, 2, 3, 4, 5, 6].map((n) => [n * MiB / 2, size]);
        assert.deepEqual(progress, [...steps, [size, size]]);
        const onDisk = world().read(clip);
        assert.equal(onDisk.length, size);
        assert.equal(sha256(onDisk), hash);
        const parts = world().downloadsNames().filter((n) => n.endsWith(".part"));
        assert.deepEqual(parts, [], "no part file is left");
      });

      test("bytes the extension makes go over the channel where it lasts, byte for byte", async () => {
        const size = 20 * MiB + 7;
        const name = `${how}-channel.bin`;
        const { saved, hash, debug } = await browser().saveOverChannel(how, name, size);
        // A host started for one message ends with its reply, and its channel with it: the
        // library then sends chunk messages.
        if (how === "once") assert.match(debug.join("\n"), /^channel: .*; chunk messages$/);
        else assert.deepEqual(debug, ["channel: open at 0"]);
        assert.equal(saved, name);
        assert.equal(sha256(world().read(name)), hash);
      });

      test("a second save of the same name becomes a numbered copy", async () => {
        const { saved, hash } = await browser().saveRandom(how, clip, MiB + 1);
        assert.equal(saved, `${how}-clip (1).mp4`);
        assert.equal(sha256(world().read(saved)), hash);
        assert.equal(world().read(clip).length, 3 * MiB + 12345, "the first file is untouched");
      });

      test("file.exists finds the name, or with \"after\" its copy", async () => {
        // Only a copy of this name stands in Downloads: found only when a time bound lets
        // copies count.
        fs.writeFileSync(path.join(world().downloads, `${how}-only (1).txt`), "copy");
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
        assert.equal(await browser().findFile(how, clip), clip);
      });

      test("an aborted transfer leaves nothing behind", async () => {
        const name = `${how}-aborted.bin`;
        const begun = await ask(how, { type: "file.write.begin", name });
        assert.deepEqual(begun, { ok: true, part: `${name}.part` });
        const chunk = await ask(how, {
          type: "file.write.chunk", part: begun.part, offset: 0, data: btoa("some bytes"),
        });
        assert.deepEqual(chunk, { ok: true, size: 10 });
        assert.equal(world().read(begun.part).toString(), "some bytes");
        const aborted = await ask(how, { type: "file.write.abort", part: begun.part });
        assert.deepEqual(aborted, { ok: true });
        assert.ok(!world().downloadsNames().some((n) => n.startsWith(`${how}-aborted`)));
        const late = await ask(how, {
          type: "file.write.end", part: begun.part, name, size: 10,
        });
        assert.equal(late.ok, false);
        assert.ok(!world().downloadsNames().some((n) => n.startsWith(`${how}-aborted`)));
      });

      test("names that are not one file in Downloads are refused", async () => {
        const before = world().downloadsNames();
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
        assert.deepEqual(world().downloadsNames(), before);
        assert.ok(!fs.existsSync(path.join(world().home, "escaped.mp4")));
      });

      if (how === "port") {
        test("the port stays open after an error reply, with one host behind it", async () => {
          const answers = [
            await ask(how, { type: "file.write.begin", name: "../nope" }),
            await ask(how, { type: "file.write.frobnicate", part: "x.part" }),
            await ask(how, { type: "still there?" }),
            await browser().portIsOpen(),
          ];
          assert.deepEqual(answers, [
            { ok: false, error: "not a file name" },
            { ok: false, error: "unknown message file.write.frobnicate" },
            { echo: { type: "still there?" } },
            true,
          ]);
          // Every message of this port's tests went to the host process the port started.
          if (world().starts()) {
            assert.deepEqual(world().starts().slice(startsBefore), [browser().hostArgs]);
          }
        });
      } else {
        test("each message starts a host of its own, told who calls", async () => {
          const starts = world().starts()?.length;
          assert.deepEqual(await ask(how, { type: "one" }), { echo: { type: "one" } });
          assert.deepEqual(await ask(how, { type: "two" }), { echo: { type: "two" } });
          const { hostArgs } = browser();
          if (world().starts()) {
            assert.deepEqual(world().starts().slice(starts), [hostArgs, hostArgs]);
          }
        });
      }
    });
  }

  describe("saves from an http server", () => {
    const files = new Map();
    let server;
    before(async () => {
      server = await serveFiles(files);
    });
    after(() => server.close());

    test("a URL is streamed into Downloads with progress, and no record is left", async () => {
      const bytes = randomBytes(5 * MiB + 321);
      files.set("/streamed.webm", bytes);
      const { saved, progress, pending } =
        await browser().saveUrl(server.url("/streamed.webm"), "streamed.webm");
      assert.equal(saved, "streamed.webm");
      assert.equal(sha256(world().read(saved)), sha256(bytes));
      // Chunk messages report every 512 KiB, the channel at each acknowledgement.
      assert.ok(progress.length >= 1);
      assert.deepEqual(progress.at(-1), [bytes.length, bytes.length]);
      assert.deepEqual(pending, {});
    });

    test("a save interrupted midway is resumed from its part file with a range", async () => {
      const bytes = randomBytes(3 * MiB + 77);
      files.set("/resumed.webm", bytes);
      const part = "resumed.webm.part";
      const already = MiB + 5;
      fs.writeFileSync(path.join(world().downloads, part), bytes.subarray(0, already));
      // A recorded save whose part file is gone, and one too old to resume.
      fs.writeFileSync(path.join(world().downloads, "old.webm.part"), "old");
      const url = server.url("/resumed.webm");
      const servedBefore = server.served.length;
      const { results, pending } = await browser().resumeInterrupted({
        [part]: { url, name: "resumed.webm", started: Date.now() },
        "gone.webm.part": { url, name: "gone.webm", started: Date.now() },
        "old.webm.part": { url, name: "old.webm", started: Date.now() - 30 * 24 * 3600 * 1000 },
      });
      assert.deepEqual(results.sort((a, b) => a.part.localeCompare(b.part)), [
        { part: "old.webm.part", removed: true },
        { part, saved: "resumed.webm" },
      ]);
      assert.deepEqual(pending, {});
      assert.equal(sha256(world().read("resumed.webm")), sha256(bytes));
      assert.deepEqual(server.served.slice(servedBefore), [{ path: "/resumed.webm", from: already }]);
      assert.ok(!world().downloadsNames().some((n) => n.endsWith(".part")));
    });

    test("a save whose connection drops keeps its part; resumed, it is byte-exact", async () => {
      const bytes = randomBytes(2 * MiB + 99);
      files.set("/dropped.webm", bytes);
      server.dropOnce("/dropped.webm", MiB + 12345);
      const servedBefore = server.served.length;
      const { failure, recorded, saved, pending } =
        await browser().dropAndResume(server.url("/dropped.webm"), "dropped.webm");
      assert.deepEqual(failure, { code: "network", part: "dropped.webm.part" });
      assert.deepEqual(recorded, ["dropped.webm.part"]);
      assert.equal(saved, "dropped.webm");
      assert.deepEqual(pending, {});
      assert.equal(sha256(world().read("dropped.webm")), sha256(bytes));
      const asked = server.served.slice(servedBefore).map((s) => s.from);
      assert.equal(asked.length, 2);
      assert.ok(asked[0] === 0 && asked[1] > 0 && asked[1] <= MiB + 12345, String(asked));
    });
  });

  test("the extension saves what its pages ask it to, over a port", async () => {
    const text = "a page asked for this";
    const reply = await browser().askExtensionToSave(
      `data:text/plain,${encodeURIComponent(text)}`, "from a page.txt");
    assert.deepEqual(reply, { saved: "from a page.txt" });
    assert.equal(world().read("from a page.txt").toString(), text);
  });
}
