// The client against the real tamberlo-host over a pipe, in a private Downloads folder.
import assert from "node:assert/strict";
import { randomBytes } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { after, before, test } from "node:test";

import {
  PAUSE, abort, begin, find, parts, resume, save, status, toBase64, toBase64Portable, version,
  wrapPort,
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

test("a failed save keeps its part unless cancelled or nothing was saved", async () => {
  const bytes = randomBytes(20 * KiB);
  const cases = [
    // [label, options, error, part file left]
    ["the source is shorter than announced", { size: bytes.length + 1 },
      { code: "network", message: "the source gave 20480 bytes, not 20481" }, true],
    ["the signal cancels midway", { abortAfter: 2 }, { code: "aborted" }, false],
    ["the signal pauses midway", { abortAfter: 2, reason: PAUSE }, { code: "aborted" }, true],
    ["the server answers 404", { url: "/missing" }, { code: "http", status: 404 }, false],
    ["the host goes away midway", { killAfter: 2 },
      { code: "host-gone", reason: "host exited (SIGKILL)" }, true],
  ];
  for (const [label, { size, abortAfter, reason, url, killAfter }, error, kept] of cases) {
    clear();
    const controller = new AbortController();
    const own = killAfter && startHost(world.home);
    let chunks = 0;
    const onProgress = () => {
      if (++chunks === abortAfter) controller.abort(reason);
      if (chunks === killAfter) own.port.kill();
    };
    const source = url ? server.url(url) : streamOf(bytes, 700);
    const failure = await save(own ? wrapPort(own.port, own.runtime) : port, "clip.mp4", source, {
      size, chunkBytes: KiB, inFlight: 2, signal: controller.signal, onProgress,
    }).catch((e) => e);
    for (const [key, value] of Object.entries(error)) assert.equal(failure[key], value, label);
    assert.deepEqual(downloads(), kept ? ["clip.mp4.part"] : [], label);
    assert.equal(failure.record?.part, kept ? "clip.mp4.part" : undefined, label);
    assert.deepEqual((await parts(port)).map((p) => p.part), kept ? ["clip.mp4.part"] : [], label);
    if (kept) await abort(port, failure.record);
  }
});

test("host refusals and names too long come with their codes", async () => {
  const spy = spying(port);
  const long = "é".repeat(123) + ".mp4";  // 250 bytes of UTF-8, its part name 255
  const cases = [
    [() => begin(spy.port, "../x.mp4"), "name-invalid", "not a file name"],
    [() => begin(spy.port, `${long}x`), "name-too-long", /251 bytes of UTF-8; at most 250/],
    [() => status(spy.port, "missing.part"), "not-a-part", /: the file does not exist\.$/],
    [() => abort(spy.port, "clip.mp4"), "not-a-part", "not a part file"],
    [() => abort(spy.port, { part: "x.part", name: "x" }), "not-a-part", /not a part this library began/],
  ];
  for (const [call, code, message] of cases) {
    const sent = spy.sent.length;
    await assert.rejects(call(), { name: "TamberloError", code, message }, code);
    if (code === "name-too-long") assert.equal(spy.sent.length, sent, "nothing was sent");
  }
  const transfer = await begin(port, long);
  assert.equal(transfer.part, `${long}.part`);
  await transfer.abort();
  assert.deepEqual(downloads(), []);
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

// One file at /file, behind a token, as servers answer a resume rightly and wrongly: `mode`
// says how a ranged request is answered, `dropAt` cuts the whole file's answer there.
function serveVersions() {
  const v = { bytes: Buffer.alloc(0), etag: '"v1"', mode: "honest", dropAt: null };
  const server = http.createServer((request, response) => {
    const { bytes, etag, mode } = v;
    if (request.headers["x-token"] !== "t") return response.writeHead(403).end();
    const range = /^bytes=(\d+)-$/.exec(request.headers.range ?? "");
    const ifRange = request.headers["if-range"];
    if (range) v.ifRange = ifRange;
    const whole = !range || mode === "whole" || (mode === "honest" && ifRange && ifRange !== etag);
    if (whole) {
      response.writeHead(200, { etag, "content-length": bytes.length });
      if (v.dropAt === null) return response.end(bytes);
      return response.write(bytes.subarray(0, v.dropAt), () => response.socket.destroy());
    }
    if (mode === "error") return response.writeHead(503).end();
    const from = Number(range[1]) - (mode === "elsewhere" ? 100 : 0);
    const total = bytes.length + (mode === "total" ? 1 : 0);
    response.writeHead(206, {
      etag, "content-range": `bytes ${from}-${bytes.length - 1}/${total}`,
      ...(mode !== "short" && { "content-length": bytes.length - from }),
    });
    response.end(mode === "short" ? bytes.subarray(from, from + 500) : bytes.subarray(from));
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    v,
    url: `http://127.0.0.1:${server.address().port}/file`,
    close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
  })));
}

test("a dropped save keeps its part; resume takes only the same version from its end", async () => {
  const versions = await serveVersions();
  const { v } = versions;
  const size = 40 * KiB + 3;
  const cases = [
    // [how the server answers the resume, the resume's error code (null: it completes)]
    ["honest", null],
    ["response", null],           // a 206 Response the caller fetched
    ["changed", "source-changed"],  // another version; the server honours If-Range: a 200
    ["etag", "source-changed"],   // another version of the same length, If-Range ignored: a 206
    ["whole", "source-changed"],  // a 200 to a ranged request
    ["elsewhere", "source-changed"],  // a 206 from another offset
    ["total", "source-changed"],  // a 206 with another total
    ["error", "http"],
    ["short", "network"],         // a 206 whose body ends before its range does
  ];
  try {
    for (const [mode, code] of cases) {
      clear();
      Object.assign(v, { bytes: randomBytes(size), etag: '"v1"', mode: "honest", dropAt: 15000 });
      const original = v.bytes;
      const spy = spying(port);
      const dropped = await save(spy.port, "drop.bin", versions.url,
        { chunkBytes: 4 * KiB, headers: { "x-token": "t" }, referrer: "http://127.0.0.1/page" })
        .catch((e) => e);
      assert.equal(dropped.code, "network", mode);
      assert.deepEqual(spy.sent[0], { type: "file.write.begin", name: "drop.bin",
        url: versions.url, referrer: "http://127.0.0.1/page" });
      assert.deepEqual(dropped.record, { part: "drop.bin.part", name: "drop.bin",
        url: versions.url, etag: '"v1"', total: size,
        request: { headers: { "x-token": "t" }, referrer: "http://127.0.0.1/page" },
        started: dropped.record.started });
      const kept = read("drop.bin.part");
      assert.ok(kept.length > 0 && kept.equals(original.subarray(0, kept.length)), mode);

      Object.assign(v, { mode: mode === "response" ? "honest" : mode, dropAt: null });
      if (mode === "changed" || mode === "etag") Object.assign(v, { bytes: randomBytes(size), etag: '"v2"' });
      const source = mode === "response" ? await fetch(versions.url,
        { headers: { range: `bytes=${kept.length}-`, "x-token": "t" } }) : undefined;
      const resumed = await resume(port, dropped.record, source).catch((e) => e);
      if (code === null) {
        assert.equal(resumed, "drop.bin", mode);
        assert.ok(read("drop.bin").equals(original), mode);
        if (mode === "honest") assert.equal(v.ifRange, '"v1"');
        assert.deepEqual(await parts(port), [], mode);
        continue;
      }
      assert.equal(resumed.code, code, `${mode}: ${resumed.message}`);
      const now = read("drop.bin.part");
      if (code === "network") {
        assert.ok(now.length === kept.length + 500 && now.equals(original.subarray(0, now.length)));
      } else {
        assert.ok(now.equals(kept), `${mode}: the part is as it was`);
      }
      assert.deepEqual((await parts(port)).map((p) => p.part), ["drop.bin.part"], mode);
      await abort(port, dropped.record);
    }
  } finally {
    await versions.close();
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

test("only the parts this library began are listed, resumed or removed", async () => {
  clear();
  fs.writeFileSync(path.join(world.downloads, "x.mp4.part"), "12345");  // Firefox's own
  fs.writeFileSync(path.join(world.downloads, "x (1).mp4"), "saved");
  const ours = await begin(port, "ours.bin");
  await ours.write(new Uint8Array([1, 2, 3]));
  const listed = (await parts(port, { all: true })).sort((a, b) => a.part.localeCompare(b.part));
  assert.deepEqual(listed.map(({ part, size }) => ({ part, size })),
    [{ part: "ours.bin.part", size: 3 }, { part: "x.mp4.part", size: 5 }]);
  assert.ok(Math.abs(listed[0].modified - Date.now()) < 60000);
  // A host that answers in pages of one part: parts() follows them with "after".
  const paging = { ...port, send: async (m) => {
    if (m.type !== "file.write.list") return port.send(m);
    const all = (await port.send({ type: m.type })).parts.sort((a, b) => a.part.localeCompare(b.part))
      .filter((p) => m.after === undefined || p.part > m.after);
    return { ok: true, parts: all.slice(0, 1), ...(all.length > 1 && { more: true }) };
  } };
  assert.deepEqual(await parts(paging, { all: true }), listed);
  assert.deepEqual((await parts(port)).map((p) => [p.part, p.record.name]),
    [["ours.bin.part", "ours.bin"]]);
  const foreign = { part: "x.mp4.part", name: "x.mp4", started: 0 };
  await assert.rejects(resume(port, foreign, new Uint8Array(9)), { code: "not-a-part" });
  await assert.rejects(abort(port, foreign), { code: "not-a-part" });
  await abort(port, ours.record);
  assert.deepEqual(downloads(), ["x (1).mp4", "x.mp4.part"]);
  assert.equal(read("x.mp4.part").toString(), "12345");
  assert.equal(await status(port, "x.mp4.part"), 5);
  assert.equal(await find(port, "x.mp4"), null);
  assert.equal(await find(port, "x.mp4", Date.now() - 1000), "x (1).mp4");
  const cmake = fs.readFileSync(new URL("../../CMakeLists.txt", import.meta.url), "utf8");
  assert.equal(await version(port), /project\(tamberlo VERSION ([\d.]+)/.exec(cmake)[1]);
});
