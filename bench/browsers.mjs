// The browser benchmark: headless Chromium and Firefox, with the example extension, save files
// fetched from a local http server: (a) with the client library into the real host in chunk
// messages and (a') over the host's channel, (b) the same chunk messages into a host that reads
// and discards them (the ceiling of the browser's native messaging), (c) with the browser's own
// downloads API, (d) with a bare WebSocket sender into a loopback receiver that discards (what
// a WebSocket from the extension allows at most). Then bytes the extension makes itself: (e)
// saved over the channel, (f) gathered into a Blob and handed to the downloads API. For each:
// MiB/s, CPU seconds per GiB of the browser's processes and of the host's, and the peak
// resident size of the extension's process. Then a file of several GiB saved byte for byte, and
// a save killed midway (browser and host) and resumed by the restarted extension. Called by
// scripts/bench-browsers.
import { spawnSync } from "node:child_process";
import { createHash, randomFillSync } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { parseArgs } from "node:util";

import { DEFAULT_CHANNEL_BYTES, DEFAULT_CHANNEL_IN_FLIGHT } from "../client/index.js";
import { launchChromium, launchFirefox } from "../e2e/browsers.mjs";
import {
  HostWorld, chromiumExtensionId, extensionDir, readManifest, serveFiles,
} from "../e2e/support.mjs";

const MiB = 1 << 20;
const here = path.dirname(new URL(import.meta.url).pathname);
const repo = path.resolve(here, "..");

const { values: options } = parseArgs({
  options: {
    browsers: { type: "string", default: "chromium,firefox" },
    sizes: { type: "string", default: "256,1024" },       // MiB
    runs: { type: "string", default: "3" },
    big: { type: "string", default: "4096" },             // MiB, 0 for none
    kill: { type: "string", default: "1024" },            // MiB, 0 for none
    out: { type: "string", default: path.join(repo, "bench", "results") },
    readme: { type: "string" },
    quick: { type: "boolean", default: false },
    ways: {
      type: "string",
      default: "library,channel,ceiling,websocket,downloads,generated-channel,generated-blob",
    },
    "chunk-kib": { type: "string", default: "512" },
    // The discard host's pipe: 65536 leaves the kernel's default, to show what enlarging it does.
    "discard-pipe": { type: "string", default: String(1 << 20) },
  },
});
// The quick run's killed save is large enough that the channel is still under way at 40%.
if (options.quick) Object.assign(options, { sizes: "4,8", runs: "1", big: "0", kill: "64" });
const browsers = options.browsers.split(",");
const sizes = options.sizes.split(",").map(Number);
const runs = Number(options.runs);
const bigMiB = Number(options.big);
const killMiB = Number(options.kill);
const ways = options.ways.split(",");
const CHUNK_BYTES = Number(options["chunk-kib"]) * 1024;
const IN_FLIGHT = 8;

const work = fs.mkdtempSync(path.join(os.tmpdir(), "tamberlo-bench-browsers-"));
const log = (...args) => console.error(new Date().toISOString().slice(11, 19), ...args);

// ---- processes: CPU time and memory, from /proc

const TICKS = 100;  // USER_HZ on Linux

function processes() {
  const all = new Map();
  for (const pid of fs.readdirSync("/proc").filter((n) => /^\d+$/.test(n))) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
      const close = stat.lastIndexOf(")");
      const fields = stat.slice(close + 2).split(" ");
      // Chromium rewrites its command line as one text with spaces; others keep NULs.
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, "utf8").replaceAll("\0", " ");
      all.set(Number(pid), {
        comm: stat.slice(stat.indexOf("(") + 1, close),
        ppid: Number(fields[1]),
        ticks: Number(fields[11]) + Number(fields[12]),
        cmdline,
      });
    } catch {
      // gone meanwhile
    }
  }
  return all;
}

// The browser's main process and everything under it.
function tree(rootPid) {
  const all = processes();
  const inside = new Map();
  for (const [pid, p] of all) {
    for (let at = pid; at > 1 && all.has(at); at = all.get(at).ppid) {
      if (at === rootPid) {
        inside.set(pid, p);
        break;
      }
    }
  }
  return inside;
}

const isHost = (p) => p.comm === "tamberlo-host" || p.cmdline.includes("discard_host.py");

function cpuSeconds(before, after) {
  const spent = { browser: 0, host: 0 };
  for (const [pid, p] of after) {
    const ticks = p.ticks - (before.get(pid)?.ticks ?? 0);
    spent[isHost(p) ? "host" : "browser"] += ticks / TICKS;
  }
  return spent;
}

// The process the extension's code runs in.
async function extensionProcess(browser) {
  if (browser.extensionPid) return browser.extensionPid();
  for (const [pid, p] of tree(browser.pid)) {
    if (p.cmdline.includes(" --extension-process ")) return pid;
  }
  throw new Error("no extension process found");
}

function resetPeak(pid) {
  fs.writeFileSync(`/proc/${pid}/clear_refs`, "5");
}

function peakMiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, "utf8");
  return Number(/VmHWM:\s+(\d+) kB/.exec(status)[1]) / 1024;
}

// The sum of the peaks of the browser's processes (a Blob's bytes may live in another process
// than the extension's), each from its reset on.
function resetPeaks(rootPid) {
  for (const pid of tree(rootPid).keys()) {
    try {
      resetPeak(pid);
    } catch {
      // gone meanwhile
    }
  }
}

function browserPeakMiB(rootPid) {
  let sum = 0;
  for (const [pid, p] of tree(rootPid)) {
    if (isHost(p)) continue;
    try {
      sum += peakMiB(pid);
    } catch {
      // gone meanwhile
    }
  }
  return sum;
}

function killTree(rootPid) {
  for (const pid of [...tree(rootPid).keys()]) {
    try {
      process.kill(pid, "SIGKILL");
    } catch {
      // already gone
    }
  }
}

// ---- files

function makeFile(file, mib) {
  const block = Buffer.alloc(MiB);
  const fd = fs.openSync(file, "w");
  for (let i = 0; i < mib; i++) fs.writeSync(fd, randomFillSync(block));
  fs.closeSync(fd);
}

function sha256(file) {
  const hash = createHash("sha256");
  const fd = fs.openSync(file, "r");
  const block = Buffer.alloc(8 * MiB);
  for (let n; (n = fs.readSync(fd, block)) > 0;) hash.update(block.subarray(0, n));
  fs.closeSync(fd);
  return hash.digest("hex");
}

// The bytes bench.js generates: 32-bit little-endian words counting up from 0.
function isGenerated(file, mib) {
  if (fs.statSync(file).size !== mib * MiB) return false;
  const fd = fs.openSync(file, "r");
  const block = Buffer.alloc(MiB);
  const expected = new Uint32Array(MiB / 4);
  try {
    for (let m = 0; m < mib; m++) {
      if (fs.readSync(fd, block, 0, MiB, m * MiB) !== MiB) return false;
      for (let i = 0; i < expected.length; i++) expected[i] = m * (MiB / 4) + i;
      if (Buffer.compare(block, Buffer.from(expected.buffer)) !== 0) return false;
    }
    return true;
  } finally {
    fs.closeSync(fd);
  }
}

// ---- the WebSocket receiver: takes each message's bytes, throws them away and answers
// {"ok": true, "size": S} (the bytes so far) at its end, as the host's channel acknowledges.
// Plain node: the frames' headers are read, their payloads skipped, never unmasked.

function frameHeaderLength(head) {
  if (head.length < 2) return 2;
  const length = head[1] & 127;
  return 2 + (length === 126 ? 2 : length === 127 ? 8 : 0) + (head[1] & 128 ? 4 : 0);
}

function textFrame(text) {
  const payload = Buffer.from(text);
  return Buffer.concat([Buffer.from([0x81, payload.length]), payload]);
}

function startDiscardReceiver() {
  const server = http.createServer((request, response) => response.writeHead(426).end());
  server.on("upgrade", (request, socket) => {
    const accept = createHash("sha1")
      .update(`${request.headers["sec-websocket-key"]}258EAFA5-E914-47DA-95CA-C5AB0DC85B11`)
      .digest("base64");
    socket.setNoDelay(true);
    socket.write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n" +
      `Connection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    let head = [];
    let left = 0;
    let size = 0;
    let fin = false;
    let opcode = 0;
    const frameEnd = () => {
      if (opcode === 8) {
        socket.end(Buffer.from([0x88, 0]));
      } else if (opcode < 8 && fin) {
        socket.write(textFrame(JSON.stringify({ ok: true, size })));
      }
      head = [];
    };
    socket.on("data", (data) => {
      for (let at = 0; at < data.length;) {
        if (left > 0) {
          const take = Math.min(left, data.length - at);
          at += take;
          left -= take;
          if (opcode < 8) size += take;
          if (left === 0) frameEnd();
          continue;
        }
        head.push(data[at++]);
        if (head.length < frameHeaderLength(head)) continue;
        fin = (head[0] & 128) !== 0;
        opcode = head[0] & 15;
        const short = head[1] & 127;
        left = short === 126 ? (head[2] << 8) | head[3]
          : short === 127 ? Number(Buffer.from(head.slice(2, 10)).readBigUInt64BE()) : short;
        if (left === 0) frameEnd();
      }
    });
    socket.on("error", () => {});
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    url: `ws://127.0.0.1:${server.address().port}/`,
    close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
  })));
}

// ---- one browser

// The discard host behind a wrapper that sets its pipe size.
function discardWrapper(dir) {
  const wrapper = path.join(dir, "discard-host");
  fs.writeFileSync(wrapper, `#!/bin/sh\nTAMBERLO_DISCARD_PIPE=${options["discard-pipe"]} ` +
    `exec python3 '${path.join(here, "discard_host.py")}' "$@"\n`, { mode: 0o755 });
  return wrapper;
}

function writeDiscardManifest(dir, allowed) {
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, "tamberlo.discard.json"), JSON.stringify({
    name: "tamberlo.discard",
    description: "reads and discards frames",
    path: discardWrapper(dir),
    type: "stdio",
    ...allowed,
  }));
}

async function startBrowser(name, world, profile) {
  const home = path.join(world.root, "browser-home");
  fs.mkdirSync(home, { recursive: true });
  const ext = path.join(world.root, "extension");
  if (!fs.existsSync(ext)) {
    fs.cpSync(extensionDir, ext, { recursive: true, dereference: true });
    for (const f of ["bench.js", "bench.html", "offscreen.html", "offscreen.js"]) {
      fs.copyFileSync(path.join(here, "browsers", f), path.join(ext, f));
    }
    const manifest = JSON.parse(fs.readFileSync(path.join(ext, "manifest.json"), "utf8"));
    manifest.permissions.push("downloads");
    // Chromium's service worker makes a Blob's URL in an offscreen document.
    if (name === "chromium") manifest.permissions.push("offscreen");
    fs.writeFileSync(path.join(ext, "manifest.json"), JSON.stringify(manifest, null, 2));
  }
  const manifest = readManifest();
  if (name === "chromium") {
    const id = chromiumExtensionId(manifest);
    world.register(["--user-data-dir", profile, "--extension-id", id]);
    writeDiscardManifest(path.join(profile, "NativeMessagingHosts"),
      { allowed_origins: [`chrome-extension://${id}/`] });
    return launchChromium({
      profile, home, extensionDir: ext, bridge: "bench", extraArgs: ["--js-flags=--expose-gc"],
      bridgeSource: fs.readFileSync(path.join(here, "browsers", "bench.js"), "utf8"),
    });
  }
  const addonId = manifest.browser_specific_settings.gecko.id;
  world.register(["--browser", "firefox", "--firefox-id", addonId], { ...process.env, HOME: home });
  writeDiscardManifest(path.join(home, ".mozilla", "native-messaging-hosts"),
    { allowed_extensions: [addonId] });
  const downloadsDir = path.join(world.root, "browser-downloads");
  fs.mkdirSync(downloadsDir, { recursive: true });
  return launchFirefox({
    profile, home, addonDir: ext, addonId, page: "bench.html", bridge: "bench",
    prefs: {
      "browser.download.dir": downloadsDir,
      "browser.download.folderList": 2,
      "browser.download.useDownloadDir": true,
      "browser.download.start_downloads_in_tmp_dir": false,
      "browser.download.alwaysOpenPanel": false,
      "browser.download.manager.addToRecentDocs": false,
    },
  });
}

async function benchBrowser(name, server, receiver, files, results) {
  const world = new HostWorld(`tamberlo-bench-${name}-`);
  const profile = path.join(world.root, "profile");
  let browser = await startBrowser(name, world, profile);
  try {
    const measure = async (way, mib, run) => {
      const url = server.url(`/${mib}.bin`);
      const extPid = await extensionProcess(browser);
      // Each save's peak starts from a collected heap, not from what the last one left.
      await browser.collectGarbage();
      await new Promise((resolve) => setTimeout(resolve, 1500));
      resetPeaks(browser.pid);
      resetPeak(extPid);
      const before = tree(browser.pid);
      const args = {
        library: [url, `${mib}.bin`, CHUNK_BYTES],
        channel: [url, `${mib}.bin`],
        ceiling: [url, CHUNK_BYTES, IN_FLIGHT],
        websocket: [url, receiver.url, DEFAULT_CHANNEL_BYTES, DEFAULT_CHANNEL_IN_FLIGHT],
        downloads: [url, `download-${mib}.bin`],
        "generated-channel": [mib, `generated-${mib}.bin`],
        "generated-blob": [mib, `blob-${mib}.bin`],
      }[way];
      let result;
      try {
        result = await browser.call(way, ...args);
      } catch (error) {
        // A way the browser cannot take is reported as such, with the browser's reason.
        if (way !== "generated-blob") throw error;
        const reason = String(error.message ?? error).split("\n")[0];
        log(name, way, `${mib} MiB`, "not possible:", reason);
        results.rows.push({ browser: name, way, mib, run, impossible: reason });
        await browser.call("release");
        return;
      }
      const cpu = cpuSeconds(before, tree(browser.pid));
      const peak = peakMiB(extPid);
      const allPeak = browserPeakMiB(browser.pid);
      await browser.call("release");
      const bytes = mib * MiB;
      if (way === "library" || way === "channel") {
        const saved = path.join(world.downloads, result.saved);
        if (fs.statSync(saved).size !== bytes) throw new Error(`${saved}: wrong size`);
        if (run === 0 && sha256(saved) !== files.get(mib).hash) throw new Error(`${saved}: differs`);
        fs.rmSync(saved);
      } else if (way === "generated-channel") {
        const saved = path.join(world.downloads, result.saved);
        if (fs.statSync(saved).size !== bytes) throw new Error(`${saved}: wrong size`);
        if (run === 0 && !isGenerated(saved, mib)) throw new Error(`${saved}: differs`);
        fs.rmSync(saved);
      } else if ((way === "ceiling" || way === "websocket") && result.sent !== bytes) {
        throw new Error(`${way} sent ${result.sent}`);
      } else if ((way === "downloads" || way === "generated-blob") && result.size !== bytes) {
        throw new Error(`${way}: a download of ${result.size} bytes`);
      }
      const gib = bytes / (1024 * MiB);
      const row = {
        browser: name, way, mib, run, mibs: mib / (result.ms / 1000),
        browserCpu: cpu.browser / gib, hostCpu: cpu.host / gib, peakMiB: peak,
        browserPeakMiB: allPeak,
      };
      log(name, way, `${mib} MiB`, `${row.mibs.toFixed(1)} MiB/s`,
        `cpu ${cpu.browser.toFixed(2)}+${cpu.host.toFixed(2)} s`, `peak ${peak.toFixed(0)} MiB`,
        `browser ${allPeak.toFixed(0)} MiB`);
      results.rows.push(row);
    };
    for (let run = 0; run < runs; run++) {
      for (const mib of sizes) {
        for (const way of ways) await measure(way, mib, run);
      }
    }

    if (bigMiB > 0) {
      const url = server.url(`/${bigMiB}.bin`);
      const extPid = await extensionProcess(browser);
      await browser.collectGarbage();
      await new Promise((resolve) => setTimeout(resolve, 1500));
      resetPeak(extPid);
      const result = await browser.call("library", url, `${bigMiB}.bin`, CHUNK_BYTES);
      const peak = peakMiB(extPid);
      await browser.call("release");
      const saved = path.join(world.downloads, result.saved);
      const exact = sha256(saved) === files.get(bigMiB).hash;
      const mibs = bigMiB / (result.ms / 1000);
      log(name, `${bigMiB} MiB`, exact ? "byte-exact" : "DIFFERS", `${mibs.toFixed(1)} MiB/s`,
        `peak ${peak.toFixed(0)} MiB`);
      results.big.push({ browser: name, mib: bigMiB, exact, mibs, peakMiB: peak });
      fs.rmSync(saved);
    }

    if (killMiB > 0) {
      const url = server.url(`/${killMiB}.bin`);
      const name_ = `killed-${killMiB}.bin`;
      const part = `${name_}.part`;
      const partPath = path.join(world.downloads, part);
      await browser.call("start", url, name_);
      const bytes = killMiB * MiB;
      const deadline = Date.now() + 300000;
      while (!(fs.existsSync(partPath) && fs.statSync(partPath).size >= 0.4 * bytes)) {
        if (Date.now() > deadline) throw new Error("the save never got to 40%");
        await new Promise((resolve) => setTimeout(resolve, 20));
      }
      killTree(browser.pid);
      await new Promise((resolve) => setTimeout(resolve, 1000));
      const atKill = fs.statSync(partPath).size;
      if (name === "firefox") browser.marionette.close();
      browser = await startBrowser(name, world, profile);
      const resumed = await browser.call("resume",
        JSON.stringify({ [part]: { url, name: name_, started: Date.now() } }));
      const outcome = resumed.results[0] ?? {};
      let saved = outcome.saved && path.join(world.downloads, outcome.saved);
      if (!saved) {
        // The restarted extension resumes its saves by itself as it starts: the call above may
        // find the part already taken. The file appears under its name once saved.
        const final = path.join(world.downloads, name_);
        const until = Date.now() + 300000;
        while (!fs.existsSync(final) && Date.now() < until) {
          await new Promise((resolve) => setTimeout(resolve, 100));
        }
        if (fs.existsSync(final)) {
          saved = final;
          outcome.saved = name_;
          outcome.by = "the extension's resume at its start";
        }
      }
      const exact = Boolean(saved) && sha256(saved) === files.get(killMiB).hash;
      const rangeFrom = server.served.filter((s) => s.path === `/${killMiB}.bin`).at(-1)?.from;
      log(name, "killed at", atKill, "resumed:", JSON.stringify(outcome), exact ? "byte-exact" : "DIFFERS",
        "range from", rangeFrom);
      results.kills.push({ browser: name, mib: killMiB, atKill, rangeFrom, exact, outcome });
      if (saved) fs.rmSync(saved);
    }
  } finally {
    await browser.close().catch(() => {});
    killTree(browser.pid);
    world.remove();
  }
}

// ---- report

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};
const fmt = (x, digits = 1) => (x === undefined ? "" : x.toFixed(digits));

function summarize(results) {
  const figures = [];
  for (const browser of browsers) {
    for (const mib of sizes) {
      for (const way of ways) {
        const all = results.rows.filter((r) => r.browser === browser && r.mib === mib && r.way === way);
        const rows = all.filter((r) => r.impossible === undefined);
        if (all.length === 0) continue;
        if (rows.length === 0) {
          figures.push({ browser, mib, way, runs: 0, impossible: all[0].impossible });
          continue;
        }
        figures.push({
          browser, mib, way, runs: rows.length,
          mibs: median(rows.map((r) => r.mibs)),
          browserCpu: median(rows.map((r) => r.browserCpu)),
          hostCpu: median(rows.map((r) => r.hostCpu)),
          peakMiB: median(rows.map((r) => r.peakMiB)),
          browserPeakMiB: median(rows.map((r) => r.browserPeakMiB)),
        });
      }
    }
  }
  return figures;
}

// What the channel must reach against the native-messaging ceiling, per browser.
const CHANNEL_OVER_CEILING = { chromium: 1.4, firefox: 1.8 };
const CHANNEL_OF_WEBSOCKET = 0.9;
const CHANNEL_CPU_OF_MESSAGES = 0.6;
// Growth of the extension's peak from the smallest file to the largest that still counts as
// flat.
const FLAT_MIB = 64;

const WAY_NAMES = {
  library: "library, chunk messages",
  channel: "library, channel",
  ceiling: "ceiling: chunk messages, host discards",
  websocket: "bare WebSocket, receiver discards",
  downloads: "downloads API on the URL",
  "generated-channel": "made in the extension: library, channel",
  "generated-blob": "made in the extension: Blob, downloads API",
};

function report(results, figures) {
  const get = (browser, mib, way) => figures.find((f) => f.browser === browser && f.mib === mib &&
    f.way === way && f.impossible === undefined);
  const lines = [];
  lines.push(`Measured ${results.when} on ${results.machine}; ${results.versions.join(", ")}. ` +
    `Load average ${results.loadBefore} before and ${os.loadavg()[0].toFixed(1)} after: the ` +
    `machine's two cores are shared. Medians of ${runs} runs; each save's peak from a heap ` +
    `collected just before it; files of random bytes from a ` +
    `local http server, Downloads on disk; chunk messages of ${CHUNK_BYTES / 1024} KiB, ` +
    `${IN_FLIGHT} on the way; the channel and the bare WebSocket in pieces of ` +
    `${DEFAULT_CHANNEL_BYTES / MiB} MiB, ${DEFAULT_CHANNEL_IN_FLIGHT} on the way; the discard ` +
    `host's pipe ${options["discard-pipe"]} bytes. Bytes made in the extension: a generated ` +
    "stream of counting 32-bit words (Chromium's service worker has no URL.createObjectURL: " +
    "its Blob and URL are made in an offscreen document). Browser peak: the sum of the peaks " +
    "of all the browser's processes.");
  lines.push("");
  lines.push("| browser | file | way | MiB/s | of ceiling | browser CPU s/GiB | host CPU s/GiB | " +
    "extension peak MiB | browser peak MiB |");
  lines.push("|---|---:|---|---:|---:|---:|---:|---:|---:|");
  for (const f of figures) {
    if (f.impossible !== undefined) {
      lines.push(`| ${f.browser} | ${f.mib} MiB | ${WAY_NAMES[f.way] ?? f.way} | not possible: ` +
        `${f.impossible.replaceAll("|", "/")} | | | | | |`);
      continue;
    }
    const ceiling = get(f.browser, f.mib, "ceiling");
    const hostless = ["downloads", "websocket", "generated-blob"].includes(f.way);
    lines.push(`| ${f.browser} | ${f.mib} MiB | ${WAY_NAMES[f.way] ?? f.way} | ${fmt(f.mibs)} | ` +
      `${ceiling ? fmt(f.mibs / ceiling.mibs, 2) : ""} | ${fmt(f.browserCpu, 2)} | ` +
      `${hostless ? "" : fmt(f.hostCpu, 2)} | ${fmt(f.peakMiB, 0)} | ${fmt(f.browserPeakMiB, 0)} |`);
  }
  lines.push("");
  lines.push("| target | measured | met |");
  lines.push("|---|---|---|");
  const yes = (met) => (met ? "yes" : "**no**");
  const big = Math.max(...sizes);
  const small = Math.min(...sizes);
  const gated = sizes.filter((m) => m >= 256 || options.quick);
  for (const browser of browsers) {
    for (const mib of gated) {
      const lib = get(browser, mib, "library");
      const ceil = get(browser, mib, "ceiling");
      if (!lib || !ceil) continue;
      const ratio = lib.mibs / ceil.mibs;
      lines.push(`| ${browser}, ${mib} MiB: library >= 0.85 of the ceiling | ${fmt(ratio, 2)} ` +
        `(${fmt(lib.mibs)} of ${fmt(ceil.mibs)} MiB/s) | ${yes(ratio >= 0.85)} |`);
    }
    for (const mib of gated) {
      const channel = get(browser, mib, "channel");
      const ceil = get(browser, mib, "ceiling");
      const socket = get(browser, mib, "websocket");
      const lib = get(browser, mib, "library");
      const want = CHANNEL_OVER_CEILING[browser];
      if (channel && ceil && want) {
        const ratio = channel.mibs / ceil.mibs;
        lines.push(`| ${browser}, ${mib} MiB: channel >= ${want}x the ceiling | ${fmt(ratio, 2)}x ` +
          `(${fmt(channel.mibs)} vs ${fmt(ceil.mibs)} MiB/s) | ${yes(ratio >= want)} |`);
      }
      if (channel && socket) {
        const ratio = channel.mibs / socket.mibs;
        lines.push(`| ${browser}, ${mib} MiB: channel >= ${CHANNEL_OF_WEBSOCKET}x the bare ` +
          `WebSocket | ${fmt(ratio, 2)}x (${fmt(channel.mibs)} vs ${fmt(socket.mibs)} MiB/s) | ` +
          `${yes(ratio >= CHANNEL_OF_WEBSOCKET)} |`);
      }
      if (channel && lib) {
        const ratio = channel.browserCpu / lib.browserCpu;
        lines.push(`| ${browser}, ${mib} MiB: browser CPU per GiB over the channel <= ` +
          `${CHANNEL_CPU_OF_MESSAGES}x chunk messages' | ${fmt(ratio, 2)}x (${fmt(channel.browserCpu, 2)} ` +
          `vs ${fmt(lib.browserCpu, 2)} s/GiB) | ${yes(ratio <= CHANNEL_CPU_OF_MESSAGES)} |`);
      }
    }
    for (const mib of gated) {
      const made = get(browser, mib, "generated-channel");
      const blob = get(browser, mib, "generated-blob");
      const impossible = figures.find((f) => f.browser === browser && f.mib === mib &&
        f.way === "generated-blob" && f.impossible !== undefined);
      if (made && blob) {
        lines.push(`| ${browser}, ${mib} MiB made in the extension: channel faster than a Blob ` +
          `through the downloads API | ${fmt(made.mibs)} vs ${fmt(blob.mibs)} MiB/s ` +
          `(${fmt(made.mibs / blob.mibs, 2)}x) | ${yes(made.mibs > blob.mibs)} |`);
      } else if (made && impossible) {
        lines.push(`| ${browser}, ${mib} MiB made in the extension: channel faster than a Blob ` +
          `through the downloads API | ${fmt(made.mibs)} MiB/s; the Blob path is not possible ` +
          `(${impossible.impossible.replaceAll("|", "/")}) | yes (no other way) |`);
      }
    }
    const lo = get(browser, small, "library");
    const hi = get(browser, big, "library");
    if (lo && hi && big > small) {
      const growth = hi.peakMiB - lo.peakMiB;
      lines.push(`| ${browser}: extension peak for ${big} MiB < ${FLAT_MIB} MiB above ${small} MiB, ` +
        `chunk messages | ${fmt(hi.peakMiB, 0)} vs ${fmt(lo.peakMiB, 0)} MiB (${growth >= 0 ? "+" : ""}` +
        `${fmt(growth, 0)}) | ${yes(growth < FLAT_MIB)} |`);
    }
    const madeLo = get(browser, small, "generated-channel");
    const madeHi = get(browser, big, "generated-channel");
    if (madeLo && madeHi && big > small) {
      const growth = madeHi.peakMiB - madeLo.peakMiB;
      const blobLo = get(browser, small, "generated-blob");
      const blobHi = get(browser, big, "generated-blob");
      const growth_ = (hi, lo) => `${fmt(hi, 0)} vs ${fmt(lo, 0)} MiB (${hi >= lo ? "+" : ""}` +
        `${fmt(hi - lo, 0)})`;
      const blob = blobLo && blobHi ? `; the Blob path ${growth_(blobHi.peakMiB, blobLo.peakMiB)}` +
        `, all the browser's processes ${growth_(blobHi.browserPeakMiB, blobLo.browserPeakMiB)}` +
        ` against ${growth_(madeHi.browserPeakMiB, madeLo.browserPeakMiB)} over the channel` : "";
      lines.push(`| ${browser}, made in the extension: extension peak over the channel flat ` +
        `(${big} MiB < ${FLAT_MIB} MiB above ${small} MiB) | ${fmt(madeHi.peakMiB, 0)} vs ` +
        `${fmt(madeLo.peakMiB, 0)} MiB (${growth >= 0 ? "+" : ""}${fmt(growth, 0)})${blob} | ` +
        `${yes(growth < FLAT_MIB)} |`);
    }
    for (const b of results.big.filter((x) => x.browser === browser)) {
      lines.push(`| ${browser}: a ${b.mib / 1024} GiB file saves byte-exact | ${b.exact ? "byte-exact" : "differs"}, ` +
        `${fmt(b.mibs)} MiB/s, extension peak ${fmt(b.peakMiB, 0)} MiB | ${yes(b.exact)} |`);
    }
    for (const k of results.kills.filter((x) => x.browser === browser)) {
      lines.push(`| ${browser}: killed midway (browser and host), resumed byte-exact | killed at ` +
        `${fmt(k.atKill / MiB)} of ${k.mib} MiB, resumed${k.outcome.by ? ` by ${k.outcome.by}` : ""} ` +
        `with a range from ${fmt((k.rangeFrom ?? 0) / MiB)} MiB, ` +
        `${k.exact ? "byte-exact" : "differs"} | ${yes(k.exact)} |`);
    }
  }
  return lines.join("\n") + "\n";
}

// The README's reading of the figures, under its table: what they say for the largest file,
// worded from the figures themselves.
function reading(figures) {
  const mib = Math.max(...sizes);
  const get = (browser, way) => figures.find((f) => f.browser === browser && f.mib === mib &&
    f.way === way && f.impossible === undefined);
  const rate = (f) => `${fmt(f.mibs)} MiB/s`;
  const url = [];
  const made = [];
  const notFastest = [];
  const notBeating = [];
  const blobFaster = [];
  for (const browser of browsers) {
    const downloads = get(browser, "downloads");
    const channel = get(browser, "channel");
    const library = get(browser, "library");
    if (downloads && channel && library) {
      if (downloads.mibs <= Math.max(channel.mibs, library.mibs)) notFastest.push(browser);
      if (channel.mibs <= library.mibs) notBeating.push(browser);
      url.push(`${browser} ${rate(downloads)} through its downloads API against ` +
        `${rate(channel)} over the channel and ${rate(library)} in chunk messages`);
    }
    const madeChannel = get(browser, "generated-channel");
    const blob = get(browser, "generated-blob");
    if (madeChannel && blob && blob.mibs >= madeChannel.mibs) blobFaster.push(browser);
    if (madeChannel && library) {
      const impossible = figures.find((f) => f.browser === browser && f.mib === mib &&
        f.way === "generated-blob" && f.impossible !== undefined);
      made.push(`${browser} ${rate(madeChannel)} over the channel` +
        (blob ? `, a Blob through the downloads API ${rate(blob)}` +
          ` (the channel ${madeChannel.mibs > blob.mibs ? "faster" : "slower"})` : "") +
        (impossible ? ", a Blob through the downloads API not possible here" : "") +
        `; browser CPU over the channel ${fmt(channel?.browserCpu, 1)} s/GiB against ` +
        `${fmt(library.browserCpu, 1)} in chunk messages`);
    }
  }
  const not = (list, text) => (list.length ? ` (not so in this run for ${list.join(" and ")})` : text);
  return `What the table says, for ${mib} MiB. For a file at a plain URL the browser's own ` +
    `downloads API stays the fastest way in${not(notFastest, "")}: it fetches and writes ` +
    `inside the browser and no extension code touches the bytes (${url.join("; ")}). The ` +
    "channel is for bytes the extension makes itself (joined segments, recordings, remuxes, " +
    `saves too big for a Blob), where it beats the message path${not(notBeating, "")} ` +
    `(${made.join("; ")}).` + (blobFaster.length ? ` A Blob handed to the downloads API was ` +
      `faster than the channel in this run for ${blobFaster.join(" and ")}.` : "") + "\n";
}

function chart(figures, out) {
  const data = path.join(work, "chart.dat");
  const shown = ["library", "channel", "ceiling", "websocket", "downloads", "generated-channel",
    "generated-blob"];
  const groups = [];
  for (const browser of browsers) {
    for (const mib of sizes) groups.push({ browser, mib });
  }
  fs.writeFileSync(data, groups.map(({ browser, mib }) => [
    `"${browser} ${mib} MiB"`,
    ...shown.map((way) => fmt(figures.find((f) => f.browser === browser && f.mib === mib && f.way === way)?.mibs ?? 0)),
  ].join(" ")).join("\n") + "\n");
  const titles = shown.map((way, i) => `${i === 0 ? `'${data}'` : "''"} using ${i + 2}` +
    `${i === 0 ? ":xtic(1)" : ""} title "${WAY_NAMES[way]}"`);
  const script = [
    "set terminal pngcairo size 1400,500 font ',10'",
    `set output '${path.join(out, "browsers.png")}'`,
    "set title 'Saving through real browsers (a file from a local server; bytes made in the extension)'",
    "set ylabel 'MiB/s'", "set style data histograms", "set style histogram clustered gap 1",
    "set style fill solid 0.8 border -1", "set key outside right top", "set yrange [0:*]", "set grid ytics",
    `plot ${titles.join(", ")}`,
  ].join("\n");
  const gnuplot = spawnSync("gnuplot", { input: script, encoding: "utf8" });
  if (gnuplot.status !== 0) log("gnuplot failed:", gnuplot.stderr);
}

// ---- main

async function main() {
  const results = {
    when: new Date().toISOString().slice(0, 16).replace("T", " ") + " UTC",
    machine: `${os.cpus()[0].model}, ${os.cpus().length} cores, Linux ${os.release()}`,
    versions: [],
    loadBefore: os.loadavg()[0].toFixed(1),
    rows: [], big: [], kills: [],
  };
  for (const [program, flag] of [["chromium", "--version"], ["firefox-esr", "--version"]]) {
    const v = spawnSync(program, [flag], { encoding: "utf8" }).stdout?.trim();
    if (v) results.versions.push(v.replace(/ built on .*/, ""));
  }
  const files = new Map();
  const all = [...new Set([...sizes, bigMiB, killMiB].filter((m) => m > 0))];
  for (const mib of all) {
    const file = path.join(work, `${mib}.bin`);
    log(`making ${mib} MiB of random bytes`);
    makeFile(file, mib);
    files.set(mib, { file, hash: sha256(file) });
  }
  const live = await serveFiles(new Map(all.map((mib) => [`/${mib}.bin`, files.get(mib).file])));
  const receiver = await startDiscardReceiver();
  try {
    for (const browser of browsers) await benchBrowser(browser, live, receiver, files, results);
  } finally {
    await receiver.close();
    await live.close();
  }
  const figures = summarize(results);
  const table = report(results, figures);
  fs.mkdirSync(options.out, { recursive: true });
  fs.writeFileSync(path.join(options.out, "browsers.json"),
    JSON.stringify({ ...results, figures }, null, 2) + "\n");
  fs.writeFileSync(path.join(options.out, "browsers.md"), table);
  chart(figures, options.out);
  if (options.readme) {
    const readme = fs.readFileSync(options.readme, "utf8");
    const start = "<!-- browser-bench-table:start -->";
    const end = "<!-- browser-bench-table:end -->";
    const at = readme.indexOf(start);
    const to = readme.indexOf(end);
    if (at >= 0 && to > at) {
      fs.writeFileSync(options.readme, readme.slice(0, at + start.length) + "\n" + table + "\n" +
        reading(figures) + readme.slice(to));
    }
  }
  process.stdout.write(table);
}

try {
  await main();
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
