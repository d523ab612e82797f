// What the browser tests share: where things are, a private home for the host, and the
// registration of the host through the project's own registration command.
import { execFileSync } from "node:child_process";
import { createHash } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

export const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, "..");
export const extensionDir = path.join(repo, "examples", "extension");
// The registration command of the normal build, unless the caller names another.
export const registerCommand = path.resolve(
  process.env.TAMBERLO_REGISTER ?? path.join(repo, "build", "tamberlo-register"));
// The host under test: the normal build's, unless the caller names another.
export const hostProgram = path.resolve(
  process.env.TAMBERLO_HOST ?? path.join(repo, "build", "tamberlo-host"));

export const MiB = 1024 * 1024;

// Set when the host under test is already registered system-wide for the example extension (as
// its package does): the tests register nothing, and the browsers start the host the system-wide
// manifest names, in the browsers' own home, with no record of its starts.
export const systemRegistered = process.env.TAMBERLO_E2E_SYSTEM === "1";

// Chromium's ID for an extension with a fixed key: the first 32 hex digits of the SHA-256 of
// the DER public key, each digit 0-f written as a letter a-p.
export function chromiumExtensionId(manifest) {
  const digest = createHash("sha256").update(Buffer.from(manifest.key, "base64")).digest("hex");
  return [...digest.slice(0, 32)].map((d) => String.fromCharCode(97 + parseInt(d, 16))).join("");
}

export function readManifest() {
  return JSON.parse(fs.readFileSync(path.join(extensionDir, "manifest.json"), "utf8"));
}

export function sha256(bytes) {
  return createHash("sha256").update(bytes).digest("hex");
}

// A temporary world for one browser run: the host's home, whose Downloads folder is named by
// the XDG user-dirs file (with a space, as a user may have it), and a wrapper that the manifest
// names as the host: it notes each start with its arguments, then runs the real host in that home.
export class HostWorld {
  constructor(prefix) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
    this.home = path.join(this.root, "host-home");
    this.downloads = path.join(this.home, "Saved videos");
    this.startsLog = path.join(this.root, "host-starts.log");
    this.wrapper = path.join(this.root, "tamberlo-host-in-test-home");
    fs.mkdirSync(path.join(this.home, ".config"), { recursive: true });
    fs.mkdirSync(this.downloads);
    fs.writeFileSync(path.join(this.home, ".config", "user-dirs.dirs"),
      'XDG_DOWNLOAD_DIR="$HOME/Saved videos"\n');
    fs.writeFileSync(this.startsLog, "");
    // The environment the browsers run in.
    this.browserEnv = systemRegistered
      ? { ...process.env, HOME: this.home, XDG_CONFIG_HOME: path.join(this.home, ".config") }
      : { ...process.env, HOME: path.join(this.root, "browser-home") };
    const quote = (text) => `'${text.replaceAll("'", `'\\''`)}'`;
    fs.writeFileSync(this.wrapper, [
      "#!/bin/sh",
      `echo "$*" >> ${quote(this.startsLog)}`,
      `HOME=${quote(this.home)} XDG_CONFIG_HOME=${quote(path.join(this.home, ".config"))} \\`,
      `  exec ${quote(hostProgram)} "$@"`,
      "",
    ].join("\n"), { mode: 0o755 });
  }

  // The argument lists of every host start so far, one per start; null when not recorded.
  starts() {
    if (systemRegistered) return null;
    return fs.readFileSync(this.startsLog, "utf8").split("\n").filter(Boolean);
  }

  downloadsNames() {
    return fs.readdirSync(this.downloads).sort();
  }

  read(name) {
    return fs.readFileSync(path.join(this.downloads, name));
  }

  register(args, env = process.env) {
    if (systemRegistered) return "";
    return execFileSync(registerCommand, ["--host", this.wrapper, ...args],
      { env, encoding: "utf8" });
  }

  remove() {
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}

// Serves `files` (URL path -> bytes, or the path of a file on disk) on 127.0.0.1, honouring
// "Range: bytes=N-"; `served` lists each request's path and the offset it was answered from.
// `dropOnce(path, at)` makes the next whole answer for `path` stop after `at` bytes, the
// connection cut as a network drops it, a second later: a browser may throw away the part of a
// body it had not read yet when the cut came, and the check wants those bytes read.
export function serveFiles(files) {
  const served = [];
  const drops = new Map();
  const server = http.createServer((request, response) => {
    const source = files.get(request.url);
    if (!source) return response.writeHead(404).end();
    const size = typeof source === "string" ? fs.statSync(source).size : source.length;
    const range = /^bytes=(\d+)-$/.exec(request.headers.range ?? "");
    const from = range ? Math.min(Number(range[1]), size) : 0;
    served.push({ path: request.url, from });
    response.writeHead(range ? 206 : 200, {
      "content-type": "application/octet-stream",
      "content-length": size - from,
      ...(range && { "content-range": `bytes ${from}-${size - 1}/${size}` }),
    });
    const drop = !range && drops.get(request.url);
    if (drop !== undefined && drop !== false) {
      drops.delete(request.url);
      return response.write(source.subarray(0, drop),
        () => setTimeout(() => response.socket.destroy(), 1000));
    }
    if (typeof source !== "string") return response.end(source.subarray(from));
    if (from === size) return response.end();
    fs.createReadStream(source, { start: from, highWaterMark: 1 << 20 }).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({
    url: (name) => `http://127.0.0.1:${server.address().port}${name}`,
    served,
    dropOnce: (name, at) => drops.set(name, at),
    close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
  })));
}
