// The browser benchmark: headless Chromium and Firefox, with the example extension, save files
// fetched from a local http server in three ways: (a) with the client library into the real
// host, (b) the same chunk messages into a host that reads and discards them (the ceiling of
// the browser's native messaging), (c) with the browser's own downloads API. For each: MiB/s,
// CPU seconds per GiB of the browser's processes and of the host's, and the peak resident size
// of the extension's process. Then a file of several GiB saved byte for byte, and a save killed
// midway (browser and host) and resumed by the restarted extension. Called by
// scripts/bench-browsers.
import { spawnSync } from "node:child_process";
import { createHash, randomFillSync } from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { parseArgs } from "node:util";

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
    sizes: { type: "string", default: "64,256,1024" },    // MiB
    runs: { type: "string", default: "3" },
    big: { type: "string", default: "4096" },             // MiB, 0 for none
    kill: { type: "string", default: "1024" },            // MiB, 0 for none
    out: { type: "string", default: path.join(repo, "bench", "results") },
    readme: { type: "string" },
    quick: { type: "boolean", default: false },
    ways: { type: "string", default: "library,channel,ceiling,downloads" },
    "chunk-kib": { type: "string", default: "512" },
    // The discard host's pipe: 65536 leaves the kernel's default, to show what enlarging it does.
    "discard-pipe": { type: "string", default: String(1 << 20) },
  },
});
if (options.quick) Object.assign(options, { sizes: "4,8", runs: "1", big: "0", kill: "16" });
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
    for (const f of ["bench.js", "bench.html"]) {
      fs.copyFileSync(path.join(here, "browsers", f), path.join(ext, f));
    }
    const manifest = JSON.parse(fs.readFileSync(path.join(ext, "manifest.json"), "utf8"));
    manifest.permissions.push("downloads");
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

async function benchBrowser(name, server, files, results) {
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
      resetPeak(extPid);
      const before = tree(browser.pid);
      const args = way === "library" ? [url, `${mib}.bin`, CHUNK_BYTES]
        : way === "channel" ? [url, `${mib}.bin`]
        : way === "ceiling" ? [url, CHUNK_BYTES, IN_FLIGHT] : [url, `download-${mib}.bin`];
      const result = await browser.call(way, ...args);
      const cpu = cpuSeconds(before, tree(browser.pid));
      const peak = peakMiB(extPid);
      await browser.call("release");
      const bytes = mib * MiB;
      if (way === "library" || way === "channel") {
        const saved = path.join(world.downloads, result.saved);
        if (fs.statSync(saved).size !== bytes) throw new Error(`${saved}: wrong size`);
        if (run === 0 && sha256(saved) !== files.get(mib).hash) throw new Error(`${saved}: differs`);
        fs.rmSync(saved);
      } else if (way === "ceiling" && result.sent !== bytes) {
        throw new Error(`ceiling sent ${result.sent}`);
      } else if (way === "downloads" && result.size !== bytes) {
        throw new Error(`download of ${result.size} bytes`);
      }
      const gib = bytes / (1024 * MiB);
      const row = {
        browser: name, way, mib, run, mibs: mib / (result.ms / 1000),
        browserCpu: cpu.browser / gib, hostCpu: cpu.host / gib, peakMiB: peak,
      };
      log(name, way, `${mib} MiB`, `${row.mibs.toFixed(1)} MiB/s`,
        `cpu ${cpu.browser.toFixed(2)}+${cpu.host.toFixed(2)} s`, `peak ${peak.toFixed(0)} MiB`);
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
      const saved = outcome.saved && path.join(world.downloads, outcome.saved);
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
        const rows = results.rows.filter((r) => r.browser === browser && r.mib === mib && r.way === way);
        if (rows.length === 0) continue;
        figures.push({
          browser, mib, way, runs: rows.length,
          mibs: median(rows.map((r) => r.mibs)),
          browserCpu: median(rows.map((r) => r.browserCpu)),
          hostCpu: median(rows.map((r) => r.hostCpu)),
          peakMiB: median(rows.map((r) => r.peakMiB)),
        });
      }
    }
  }
  return figures;
}

function report(results, figures) {
  const get = (browser, mib, way) => figures.find((f) => f.browser === browser && f.mib === mib && f.way === way);
  const lines = [];
  lines.push(`Measured ${results.when} on ${results.machine}; ${results.versions.join(", ")}. ` +
    `Load average ${results.loadBefore} before and ${os.loadavg()[0].toFixed(1)} after: the ` +
    `machine's two cores are shared. Medians of ${runs} runs; each save's peak from a heap ` +
    `collected just before it; files of random bytes from a ` +
    `local http server, Downloads on disk; library and ceiling with ${CHUNK_BYTES / 1024} KiB ` +
    `chunks, ${IN_FLIGHT} on the way; the discard host's pipe ${options["discard-pipe"]} bytes.`);
  lines.push("");
  lines.push("| browser | file | way | MiB/s | of ceiling | browser CPU s/GiB | host CPU s/GiB | extension peak MiB |");
  lines.push("|---|---:|---|---:|---:|---:|---:|---:|");
  for (const f of figures) {
    const ceiling = get(f.browser, f.mib, "ceiling");
    lines.push(`| ${f.browser} | ${f.mib} MiB | ${f.way} | ${fmt(f.mibs)} | ` +
      `${ceiling ? fmt(f.mibs / ceiling.mibs, 2) : ""} | ${fmt(f.browserCpu, 2)} | ` +
      `${f.way === "downloads" ? "" : fmt(f.hostCpu, 2)} | ${fmt(f.peakMiB, 0)} |`);
  }
  lines.push("");
  lines.push("| target | measured | met |");
  lines.push("|---|---|---|");
  const big = Math.max(...sizes);
  const small = Math.min(...sizes);
  for (const browser of browsers) {
    for (const mib of sizes.filter((m) => m >= 256 || options.quick)) {
      const lib = get(browser, mib, "library");
      const ceil = get(browser, mib, "ceiling");
      if (!lib || !ceil) continue;
      const ratio = lib.mibs / ceil.mibs;
      lines.push(`| ${browser}, ${mib} MiB: library >= 0.85 of the ceiling | ${fmt(ratio, 2)} ` +
        `(${fmt(lib.mibs)} of ${fmt(ceil.mibs)} MiB/s) | ${ratio >= 0.85 ? "yes" : "no"} |`);
    }
    const lo = get(browser, small, "library");
    const hi = get(browser, big, "library");
    if (lo && hi) {
      const growth = hi.peakMiB - lo.peakMiB;
      lines.push(`| ${browser}: extension peak for ${big} MiB < 64 MiB above ${small} MiB | ` +
        `${fmt(hi.peakMiB, 0)} vs ${fmt(lo.peakMiB, 0)} MiB (+${fmt(growth, 0)}) | ${growth < 64 ? "yes" : "no"} |`);
    }
    for (const b of results.big.filter((x) => x.browser === browser)) {
      lines.push(`| ${browser}: a ${b.mib / 1024} GiB file saves byte-exact | ${b.exact ? "byte-exact" : "differs"}, ` +
        `${fmt(b.mibs)} MiB/s, extension peak ${fmt(b.peakMiB, 0)} MiB | ${b.exact ? "yes" : "no"} |`);
    }
    for (const k of results.kills.filter((x) => x.browser === browser)) {
      lines.push(`| ${browser}: killed midway (browser and host), resumed byte-exact | killed at ` +
        `${fmt(k.atKill / MiB)} of ${k.mib} MiB, resumed with a range from ${fmt((k.rangeFrom ?? 0) / MiB)} MiB, ` +
        `${k.exact ? "byte-exact" : "differs"} | ${k.exact ? "yes" : "no"} |`);
    }
  }
  return lines.join("\n") + "\n";
}

function chart(figures, out) {
  const data = path.join(work, "chart.dat");
  const ways = ["library", "channel", "ceiling", "downloads"];
  const groups = [];
  for (const browser of browsers) {
    for (const mib of sizes) groups.push({ browser, mib });
  }
  fs.writeFileSync(data, groups.map(({ browser, mib }) => [
    `"${browser} ${mib} MiB"`,
    ...ways.map((way) => fmt(figures.find((f) => f.browser === browser && f.mib === mib && f.way === way)?.mibs ?? 0)),
  ].join(" ")).join("\n") + "\n");
  const script = [
    "set terminal pngcairo size 1100,450 font ',10'",
    `set output '${path.join(out, "browsers.png")}'`,
    "set title 'Saving a file fetched from a local server, through real browsers'",
    "set ylabel 'MiB/s'", "set style data histograms", "set style histogram clustered gap 1",
    "set style fill solid 0.8 border -1", "set key top left", "set yrange [0:*]", "set grid ytics",
    `plot '${data}' using 2:xtic(1) title 'library into tamberlo-host', '' using 3 title 'library over the channel', '' using 4 title 'ceiling (host discards)', '' using 5 title "browser's downloads API"`,
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
  try {
    for (const browser of browsers) await benchBrowser(browser, live, files, results);
  } finally {
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
      fs.writeFileSync(options.readme, readme.slice(0, at + start.length) + "\n" + table + readme.slice(to));
    }
  }
  process.stdout.write(table);
}

try {
  await main();
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
