// The host's channel (a WebSocket on a loopback port) against the real tamberlo-host: who may
// connect, what the first message must say, the limits, and the client library using it by
// itself and falling back to chunk messages.
import assert from "node:assert/strict";
import { randomBytes } from "node:crypto";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import { after, before, test } from "node:test";
import WS from "ws";

import { resume, save, wrapPort } from "../index.js";
import { CHROMIUM_ORIGIN, makeHome, startHost } from "./hostPort.js";

const MiB = 1024 * 1024;
const MOZ_ORIGIN = "moz-extension://6f1e9b1c-2a4d-4c3e-9f5a-0d8e7b6a5c4d";

// The browsers' WebSocket, with the Origin header an extension's page or worker sends.
const socketFrom = (origin) => class extends WS {
  constructor(url) { super(url, { origin }); }
};
globalThis.WebSocket = socketFrom(MOZ_ORIGIN);

/** A host with its port, its channel's address, and a Downloads folder of its own. */
async function hostWith(style = "firefox", args = undefined, world = makeHome()) {
  const host = startHost(world.home, style, args);
  const port = wrapPort(host.port, host.runtime);
  const offer = await port.send({ type: "file.write.channel" });
  const part = async (name, bytes = Buffer.alloc(0)) => {
    const { part } = await port.send({ type: "file.write.begin", name });
    fs.writeFileSync(path.join(world.downloads, part), bytes);
    return part;
  };
  const read = (name) => fs.readFileSync(path.join(world.downloads, name));
  return { host, port, offer, world, part, read, hostHeader: offer.url?.slice(5, -1) };
}

/** Sends `request` as raw text and resolves with what came back before the host closed. */
function raw(url, request) {
  const { port } = new URL(url);
  return new Promise((resolve) => {
    let answer = "";
    const socket = net.connect(Number(port), "127.0.0.1", () => socket.write(request));
    socket.on("data", (data) => {
      answer += data;
      // An accepted upgrade stays open: its status line is enough.
      if (answer.includes("\r\n\r\n")) socket.destroy();
    });
    socket.on("error", () => {});
    socket.on("close", () => resolve(answer));
  });
}

/** Opens a WebSocket and sends `first`; resolves with the replies and the close. */
function connection(url, first, { origin = MOZ_ORIGIN, then = [] } = {}) {
  return new Promise((resolve) => {
    const replies = [];
    const socket = new WS(url, { origin });
    socket.on("open", () => {
      socket.send(typeof first === "string" ? first : JSON.stringify(first));
      for (const piece of then) socket.send(piece);
    });
    socket.on("message", (data) => replies.push(JSON.parse(String(data))));
    socket.on("error", () => {});
    socket.on("close", (code, reason) => resolve({ replies, code, reason: String(reason), socket }));
  });
}

const upgrade = ({ method = "GET", host, origin, connection = "Upgrade" }) =>
  `${method} / HTTP/1.1\r\nHost: ${host}\r\nConnection: ${connection}\r\nUpgrade: websocket\r\n` +
  "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
  (origin === undefined ? "" : `Origin: ${origin}\r\n`) + "\r\n";

let firefox;
let chromium;

before(async () => {
  firefox = await hostWith("firefox");
  chromium = await hostWith("chromium");
});

after(() => {
  for (const h of [firefox, chromium]) {
    h.port.close();
    h.world.remove();
  }
});

test("the host offers one address and token for its whole life", async () => {
  assert.match(firefox.offer.url, /^ws:\/\/127\.0\.0\.1:\d+\/$/);
  assert.match(firefox.offer.token, /^[0-9a-f]{64}$/);
  assert.deepEqual(await firefox.port.send({ type: "file.write.channel" }), firefox.offer);
  assert.notEqual(chromium.offer.token, firefox.offer.token);
});

test("only a GET upgrade to 127.0.0.1:PORT from the caller's own origin is served", async () => {
  const cases = [
    // [host, request, served]
    [firefox, { origin: MOZ_ORIGIN }, true],
    [firefox, { origin: "moz-extension://another-installation" }, true],
    [chromium, { origin: CHROMIUM_ORIGIN.slice(0, -1) }, true],
    [firefox, { method: "POST", origin: MOZ_ORIGIN }, false],
    [firefox, { connection: "keep-alive", origin: MOZ_ORIGIN }, false],
    [firefox, { host: "localhost", origin: MOZ_ORIGIN }, false],  // DNS rebinding
    [firefox, { host: "attacker.example", origin: MOZ_ORIGIN }, false],
    [firefox, { origin: "http://127.0.0.1" }, false],
    [firefox, { origin: "https://example.com" }, false],
    [firefox, { origin: "null" }, false],
    [firefox, {}, false],                                       // no Origin
    [firefox, { origin: CHROMIUM_ORIGIN.slice(0, -1) }, false],
    [chromium, { origin: "chrome-extension://aaaabbbbccccddddeeeeffffgggghhhh" }, false],
    [chromium, { origin: CHROMIUM_ORIGIN }, false],              // browsers send no "/"
    [chromium, { origin: MOZ_ORIGIN }, false],
  ];
  for (const [h, fields, served] of cases) {
    const host = fields.host === "localhost" ? h.hostHeader.replace("127.0.0.1", "localhost")
      : fields.host ?? h.hostHeader;
    const answer = await raw(h.offer.url, upgrade({ ...fields, host }));
    assert.equal(answer.startsWith("HTTP/1.1 101"), served, JSON.stringify(fields));
    if (!served) assert.equal(answer, "", `closed without an answer: ${JSON.stringify(fields)}`);
  }
});

test("the first message must hold the token, a part file and its length", async () => {
  const h = firefox;
  const token = h.offer.token;
  const three = await h.part("three.bin", Buffer.from("abc"));
  const cases = [
    // [first message, the refusal, the chunk that is refused with the same text]
    [{ token: "0".repeat(64), part: three, offset: 3 }, "wrong token"],
    [{ token: token.slice(0, 63), part: three, offset: 3 }, "wrong token"],
    [{ part: three, offset: 3 }, "bad first message"],
    [{ token, part: three }, "bad first message"],
    ["not json", "bad first message"],
    [{ token, part: "three.bin", offset: 0 }, "not a part file"],
    [{ token, part: "../three.bin.part", offset: 0 }, "not a part file"],
    [{ token, part: ".part", offset: 0 }, "not a part file"],
    [{ token, part: three, offset: 4 }, null, { part: three, offset: 4 }],
    [{ token, part: three, offset: 2 }, "offset 2 before the end 3"],
    [{ token, part: "missing.bin.part", offset: 0 }, null, { part: "missing.bin.part", offset: 0 }],
  ];
  for (const [first, text, chunk] of cases) {
    let expected = text;
    if (chunk) {
      const reply = await h.port.send({ type: "file.write.chunk", data: "", ...chunk });
      expected = reply.error;
    }
    const { replies, code, reason } = await connection(h.offer.url, first,
      { then: [Buffer.from("never written")] });
    assert.equal(replies[0]?.ok, false, JSON.stringify(first));
    assert.equal(replies[0].error, expected, JSON.stringify(first));
    assert.equal(code, 1008);
    assert.deepEqual(JSON.parse(reason), replies[0]);
  }
  assert.equal(String(h.read(three)), "abc", "nothing written");
  // A first message longer than any part file's could be is not read to its end.
  const long = await connection(h.offer.url, { token, part: three, offset: 3, pad: "x".repeat(4096) });
  assert.deepEqual([long.replies, long.code], [[], 1009]);
  // Bytes as the first message.
  const binary = await connection(h.offer.url, Buffer.from(JSON.stringify({ token, part: three, offset: 3 })));
  assert.equal(binary.replies[0].error, "bad first message");
});

test("bytes are appended and acknowledged; one writer per part file; too large closes", async () => {
  const h = firefox;
  const token = h.offer.token;
  const part = await h.part("stream.bin");
  const bytes = randomBytes(5 * MiB + 17);
  // A second connection on the part the first one holds is refused.
  const holder = new WS(h.offer.url, { origin: MOZ_ORIGIN });
  const acks = [];
  const closed = new Promise((resolve) => holder.on("close", (code) => resolve(code)));
  let waiter;
  holder.on("message", (data) => { acks.push(JSON.parse(String(data))); waiter?.(); });
  const nextAck = () => new Promise((resolve) => { waiter = resolve; });
  await new Promise((resolve) => holder.on("open", resolve));
  let acked = nextAck();
  holder.send(JSON.stringify({ token, part, offset: 0 }));
  await acked;
  assert.deepEqual(acks, [{ ok: true, size: 0 }]);
  const second = await connection(h.offer.url, { token, part, offset: 0 });
  assert.deepEqual(second.replies, [{ ok: false, error: "another transfer is writing this part file", storage: false }]);
  // And so is a chunk message, and an end, which would save the part under the channel.
  for (const message of [{ type: "file.write.chunk", part, offset: 0, data: "" },
    { type: "file.write.end", part, name: "stream.bin", size: 0 }]) {
    assert.equal((await h.port.send(message)).error, "another transfer is writing this part file");
  }

  acked = nextAck();
  holder.send(bytes.subarray(0, 3 * MiB));
  await acked;
  acked = nextAck();
  holder.send(bytes.subarray(3 * MiB));
  await acked;
  assert.deepEqual(acks.slice(1), [{ ok: true, size: 3 * MiB }, { ok: true, size: bytes.length }]);
  assert.ok(h.read(part).equals(bytes), "byte for byte");

  // A message over 64 MiB ends the connection; what came before stays.
  holder.send(Buffer.alloc(64 * MiB + 1));
  // 1009 when the close frame arrives before the rest of the message is refused.
  assert.ok([1006, 1009].includes(await closed));
  assert.ok(h.read(part).equals(bytes));
  // The lock went with the connection.
  const again = await connection(h.offer.url, { token, part, offset: bytes.length },
    { then: [Buffer.from("more")] });
  assert.deepEqual(again.replies[0], { ok: true, size: bytes.length });
});

test("at most 8 connections at once", async () => {
  const h = chromium;
  const { port } = new URL(h.offer.url);
  const held = [];
  for (let i = 0; i < 8; i++) {
    const socket = net.connect(Number(port), "127.0.0.1");
    socket.on("error", () => {});
    await new Promise((resolve) => socket.on("connect", resolve));
    held.push(socket);
  }
  // The ninth is closed unanswered, even with a perfect request.
  const answer = await raw(h.offer.url, upgrade({ host: h.hostHeader, origin: CHROMIUM_ORIGIN.slice(0, -1) }));
  assert.equal(answer, "");
  for (const socket of held) socket.destroy();
});

test("the client saves over the channel, resumes over it after the host died, and falls back", async () => {
  const world = makeHome();
  const bytes = randomBytes(20 * MiB + 3);
  try {
    // Killed midway: the source stalls after 12 MiB until the host is gone.
    let first = await hostWith("firefox", undefined, world);
    const told = [];
    let release;
    const stalled = new Promise((resolve) => { release = resolve; });
    const source = new ReadableStream({
      async pull(controller) {
        if (!this.at) this.at = 0;
        if (this.at === 12 * MiB) await stalled;
        if (this.at >= bytes.length) return controller.close();
        controller.enqueue(bytes.subarray(this.at, this.at + MiB));
        this.at += MiB;
      },
    });
    let record;
    const saving = save(first.port, "killed.bin", source, {
      channelBytes: 4 * MiB,
      onDebug: (text) => told.push(text),
      onBegin: (_, r) => { record = r; },
      onProgress: (saved) => {
        if (saved !== 12 * MiB) return;
        first.host.port.child.on("exit", release);
        first.host.port.kill();
      },
    }).catch((error) => error);
    const failed = await saving;
    assert.equal(failed.code, "host-gone");
    assert.deepEqual(told, ["channel: open at 0"]);
    const kept = first.read(record.part);
    assert.equal(kept.length, 12 * MiB);

    const second = await hostWith("firefox", undefined, world);
    told.length = 0;
    const name = await resume(second.port, record.part, "killed.bin", bytes, { onDebug: (t) => told.push(t) });
    assert.deepEqual(told, [`channel: open at ${12 * MiB}`]);
    assert.ok(second.read(name).equals(bytes), "byte for byte");

    // The fallbacks: a host started with no caller has no channel; `channel: false` asks none.
    const cases = [
      [[], {}, "channel: the host offers none (no channel for this caller); chunk messages"],
      [undefined, { channel: false }, "channel: not asked for; chunk messages"],
    ];
    for (const [args, options, reason] of cases) {
      const h = await hostWith("firefox", args, world);
      const said = [];
      const sent = [];
      const spy = { send: (m) => (sent.push(m.type), h.port.send(m)), closed: null, close() {} };
      const saved = await save(spy, "fallback.bin", bytes.subarray(0, MiB), { ...options, onDebug: (t) => said.push(t) });
      assert.deepEqual(said, [reason]);
      assert.ok(sent.includes("file.write.chunk"));
      assert.ok(h.read(saved).equals(bytes.subarray(0, MiB)));
      h.port.close();
    }
    second.port.close();
  } finally {
    world.remove();
  }
});
