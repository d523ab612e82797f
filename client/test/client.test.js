// The client against the real tamberlo-host over a pipe, in a private Downloads folder.
import assert from "node:assert/strict";
import { randomBytes } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { after, before, test } from "node:test";

import {
  find, parts, resume, save, status, toBase64, toBase64Portable, version, wrapPort,
} from "../index.js";
import { hostProgram, makeHome, startHost } from "./hostPort.js";

const KiB = 1024;
const MiB = 1024 * KiB;

// Serves `files` (path -> bytes) on 127.0.0.1; `ranges` says whether it honours Range.
function serve(files, { ranges }) {
  const served = [];
  const server = http.createServer((request, response) => {
    const bytes = files.get(request.url);
    if (!bytes) return response.writeHead(404).end();
    const range = ranges && /^bytes=(\d+)-$/.exec(request.headers.range ?? "");
    const from = range ? Number(range[1]) : 0;
    if (from >= bytes.length && range) {
      served.push({ url: request.url, range: request.headers.range, from });
      return response.writeHead(416, { "content-range": `bytes */${bytes.length}` }).end();
    }
    served.push({ url: request.url, range: request.headers.range ?? null, from });
    response.writeHead(range ? 206 : 200, {
      "content-length": bytes.length - from,
      ...(range && { "content-range": `bytes ${from}-${bytes.length - 1}/${bytes.length}` }),
    });
    // In pieces of odd sizes, as a network delivers them.
    for (let at = from; at < bytes.length; at += 7777) response.write(bytes.subarray(at, at + 7777));
    response.end();
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    url: (name) => `http://127.0.0.1:${server.address().port}${name}`,
    served,
    close: () => new Promise((done) => server.close(done)),
  })));
}

// A stream that hands out `bytes` in pieces of `piece` bytes.
function streamOf(bytes, piece = 1000) {
  let at = 0;
  return new ReadableStream({
    pull(controller) {
      if (at >= bytes.length) return controller.close();
      controller.enqueue(bytes.slice(at, at + piece));
      at += piece;
    },
  });
}

const sources = {
  bytes: (bytes) => bytes,
  blob: (bytes) => new Blob([bytes]),
  stream: (bytes) => streamOf(bytes),
};

let world;
let host;
let port;
let server;
let plainServer;
const files = new Map();

before(async () => {
  assert.ok(fs.existsSync(hostProgram), `no host at ${hostProgram} (build it first)`);
  world = makeHome();
  host = startHost(world.home);
  port = wrapPort(host.port, host.runtime);
  server = await serve(files, { ranges: true });
  plainServer = await serve(files, { ranges: false });
});

after(async () => {
  port.close();
  await server.close();
  await plainServer.close();
  world.remove();
});

const downloads = () => fs.readdirSync(world.downloads).sort();
const read = (name) => fs.readFileSync(path.join(world.downloads, name));
const clear = () => {
  for (const name of downloads()) fs.rmSync(path.join(world.downloads, name));
};

// Records every message, so that a test can see the chunks that were sent.
function spying(real) {
  const sent = [];
  return { sent, port: { send: (m) => (sent.push(m), real.send(m)), closed: null, close() {} } };
}

test("base64 of every length and byte value is the standard one", () => {
  for (let n = 0; n < 300; n++) {
    const bytes = randomBytes(n);
    assert.equal(toBase64Portable(bytes), bytes.toString("base64"), `${n} bytes`);
    assert.equal(toBase64(bytes), bytes.toString("base64"), `${n} bytes`);
  }
});

test("save writes every kind of source byte for byte, several chunks on the way", async () => {
  const c = 3 * KiB;
  const cases = [
    // [source kind, size, chunkBytes, inFlight, name already taken]
    ["bytes", 0, c, 3],
    ["bytes", 3 * c + 5, c, 3],
    ["blob", 1, c, 3],
    ["blob", 3 * c, c, 2],
    ["stream", c - 1, c, 3],
    ["stream", 5 * c + 999, c, 4],
    ["stream", 2 * MiB + 7, undefined, undefined],
    ["url", 4 * c + 1, c, 3],
    ["bytes", 10, c, 3, true],
  ];
  for (const [kind, size, chunkBytes, inFlight, taken] of cases) {
    const label = JSON.stringify({ kind, size, chunkBytes, inFlight, taken });
    clear();
    if (taken) fs.writeFileSync(path.join(world.downloads, "clip.mp4"), "taken");
    const bytes = randomBytes(size);
    files.set("/clip.mp4", bytes);
    const source = kind === "url" ? server.url("/clip.mp4") : sources[kind](bytes);
    const progress = [];
    const saved = await save(port, "clip.mp4", source, {
      chunkBytes, inFlight, onProgress: (done, total) => progress.push([done, total]),
    });
    assert.equal(saved, taken ? "clip (1).mp4" : "clip.mp4", label);
    assert.ok(read(saved).equals(bytes), label);
    const step = chunkBytes ?? 512 * KiB;
    const expected = [];
    for (let done = step; done < size; done += step) expected.push(done);
    if (size > 0) expected.push(size);
    assert.deepEqual(progress.map(([done]) => done), expected, label);
    const total = kind === "stream" ? undefined : size;
    assert.ok(progress.every(([, t]) => t === total), label);
    assert.deepEqual(downloads().filter((n) => n.endsWith(".part")), [], label);
  }
});

test("a failed or aborted save leaves no part file", async () => {
  const bytes = randomBytes(20 * KiB);
  const cases = [
    ["the source is shorter than announced", { size: bytes.length + 1 }, /gave 20480 bytes, not 20481/],
    ["the signal aborts midway", { abortAfter: 2 }, { name: "AbortError" }],
    ["the server answers 404", { url: "/missing" }, /404/],
  ];
  for (const [label, { size, abortAfter, url }, error] of cases) {
    clear();
    const controller = new AbortController();
    let chunks = 0;
    const onProgress = () => {
      if (++chunks === abortAfter) controller.abort();
    };
    const source = url ? server.url(url) : streamOf(bytes, 700);
    await assert.rejects(save(port, "clip.mp4", source, {
      size, chunkBytes: KiB, inFlight: 2, signal: controller.signal, onProgress,
    }), error, label);
    assert.deepEqual(downloads(), [], label);
  }
});

test("resume continues from the part file's length and never writes below it", async () => {
  const c = 4 * KiB;
  const size = 5 * c + 123;
  const cases = [
    // [source kind, bytes already in the part file]
    ["bytes", 5000],
    ["blob", 5000],
    ["stream", 5000],
    ["url", 5000],       // the server sends only the rest
    ["plain url", 5000],  // the server ignores the range: the rest is skipped
    ["stream", 0],
    ["blob", size],       // already whole: only the end is missing
    ["url", size],        // the same, and the server has nothing from there on
  ];
  for (const [kind, already] of cases) {
    const label = `${kind} from ${already}`;
    clear();
    const bytes = randomBytes(size);
    files.set("/video.webm", bytes);
    fs.writeFileSync(path.join(world.downloads, "video.webm (1).part"), bytes.subarray(0, already));
    const source = kind === "url" ? server.url("/video.webm")
      : kind === "plain url" ? plainServer.url("/video.webm") : sources[kind](bytes);
    const servedBefore = server.served.length;
    const spy = spying(port);
    const saved = await resume(spy.port, "video.webm (1).part", "video.webm", source,
      { chunkBytes: c, inFlight: 3 });
    assert.equal(saved, "video.webm", label);
    assert.ok(read(saved).equals(bytes), label);
    const offsets = spy.sent.filter((m) => m.type === "file.write.chunk").map((m) => m.offset);
    assert.equal(offsets[0] ?? size, already, label);
    assert.ok(offsets.every((o) => o >= already), label);
    if (kind === "url") {
      assert.deepEqual(server.served.slice(servedBefore).map((s) => s.from), [already], label);
    }
  }
});

test("resume refuses a part file longer than the source and leaves it as it is", async () => {
  const bytes = randomBytes(10 * KiB);
  for (const [kind, source] of [["bytes", bytes.subarray(0, 4000)],
    ["stream", streamOf(bytes.subarray(0, 4000))], ["blob", new Blob([bytes.subarray(0, 4000)])]]) {
    clear();
    fs.writeFileSync(path.join(world.downloads, "a.part"), bytes.subarray(0, 5000));
    await assert.rejects(resume(port, "a.part", "a", source, { chunkBytes: 1000 }),
      /5000 bytes|fewer than 5000/, kind);
    assert.ok(read("a.part").equals(bytes.subarray(0, 5000)), kind);
    assert.deepEqual(downloads(), ["a.part"], kind);
  }
});

test("a message the browser refuses to post fails alone; the replies stay in step", { timeout: 30000 }, async () => {
  const calls = [
    port.send({ type: "first" }),
    port.send({ type: "too large", data: "x".repeat(64 * MiB) }),
    port.send({ type: "third" }),
  ];
  const [first, large, third] = await Promise.allSettled(calls);
  assert.deepEqual(first.value, { echo: { type: "first" } });
  assert.match(large.reason.message, /maximum allowed size/);
  assert.deepEqual(third.value, { echo: { type: "third" } });
});

test("the disconnect reason is read where each browser gives it", async () => {
  for (const style of ["firefox", "chromium"]) {
    const own = startHost(world.home, style);
    const ownPort = wrapPort(own.port, own.runtime);
    assert.deepEqual(await ownPort.send({ type: "ping" }), { echo: { type: "ping" } });
    const gone = new Promise((resolve) => own.port.child.on("exit", resolve));
    own.port.kill();
    await gone;
    await assert.rejects(ownPort.send({ type: "ping" }),
      { message: "host disconnected: host exited (SIGKILL)" }, style);
  }
});

test("part files are listed; status, find and version answer", async () => {
  clear();
  fs.writeFileSync(path.join(world.downloads, "x.mp4.part"), "12345");
  fs.writeFileSync(path.join(world.downloads, "x (1).mp4"), "saved");
  const listed = await parts(port);
  assert.deepEqual(listed.map(({ part, size }) => ({ part, size })), [{ part: "x.mp4.part", size: 5 }]);
  assert.ok(Math.abs(listed[0].modified - Date.now()) < 60000);
  assert.equal(await status(port, "x.mp4.part"), 5);
  assert.equal(await find(port, "x.mp4"), null);
  assert.equal(await find(port, "x.mp4", Date.now() - 1000), "x (1).mp4");
  const cmake = fs.readFileSync(new URL("../../CMakeLists.txt", import.meta.url), "utf8");
  assert.equal(await version(port), /project\(tamberlo VERSION ([\d.]+)/.exec(cmake)[1]);
});
