// A port to a real tamberlo-host over a pipe, shaped as the browsers' runtime.Port: messages
// framed as a 32-bit length in native byte order and JSON, and the browsers' 64 MiB limit on
// what an extension may post. `style` says where the disconnect reason goes: "firefox" on the
// port's `error`, "chromium" in the runtime's lastError while the listeners run.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");
export const hostProgram = path.resolve(
  process.env.TAMBERLO_HOST ?? path.join(repo, "build", "tamberlo-host"));

const MAX_POSTED = 64 * 1024 * 1024;

/** A home of its own for the host, with its Downloads folder. */
export function makeHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tamberlo-client-"));
  fs.mkdirSync(path.join(home, "Downloads"));
  return {
    home,
    downloads: path.join(home, "Downloads"),
    remove: () => fs.rmSync(home, { recursive: true, force: true }),
  };
}

function listeners() {
  const all = [];
  return { addListener: (f) => all.push(f), all };
}

/** The arguments each browser starts the host with. */
export const CHROMIUM_ORIGIN = "chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/";
export const BROWSER_ARGUMENTS = {
  firefox: ["/usr/lib/mozilla/native-messaging-hosts/tamberlo.host.json", "tamberlo@example.org"],
  chromium: [CHROMIUM_ORIGIN],
};

export function startHost(home, style = "firefox", args = BROWSER_ARGUMENTS[style]) {
  const child = spawn(hostProgram, args, {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, ".config") },
    stdio: ["pipe", "pipe", "ignore"],
  });
  const runtime = { lastError: undefined };
  const port = {
    error: null,
    onMessage: listeners(),
    onDisconnect: listeners(),
    postMessage(message) {
      const text = JSON.stringify(message);
      if (Buffer.byteLength(text) > MAX_POSTED) {
        throw new Error("Message exceeds maximum allowed size of 64MiB");
      }
      const body = Buffer.from(text);
      const head = Buffer.alloc(4);
      head.writeUInt32LE(body.length);
      child.stdin.write(head);
      child.stdin.write(body);
    },
    disconnect() {
      child.stdin.end();
    },
    kill: () => child.kill("SIGKILL"),
    child,
  };
  child.stdin.on("error", () => {});
  let buffer = Buffer.alloc(0);
  child.stdout.on("data", (data) => {
    buffer = Buffer.concat([buffer, data]);
    while (buffer.length >= 4 && buffer.length >= 4 + buffer.readUInt32LE(0)) {
      const length = buffer.readUInt32LE(0);
      const reply = JSON.parse(buffer.subarray(4, 4 + length).toString());
      buffer = buffer.subarray(4 + length);
      for (const f of port.onMessage.all) f(reply);
    }
  });
  child.on("exit", (code, signal) => {
    const error = { message: `host exited (${signal ?? code})` };
    if (style === "firefox") port.error = error;
    else runtime.lastError = error;
    for (const f of port.onDisconnect.all) f(port);
    runtime.lastError = undefined;
  });
  return { port, runtime };
}
