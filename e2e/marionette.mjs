// A small client of Firefox's Marionette remote-control protocol: messages are JSON arrays
// framed as "length:json"; a command is [0, id, name, params], its answer [1, id, error, result].
import net from "node:net";

export class Marionette {
  static async connect(port) {
    const client = new Marionette(net.connect(port, "127.0.0.1"));
    await client.#next(); // Firefox greets first.
    await client.command("WebDriver:NewSession", {});
    return client;
  }

  #socket;
  #buffer = Buffer.alloc(0);
  #waiting = [];
  #lastId = 0;

  constructor(socket) {
    this.#socket = socket;
    socket.on("data", (data) => this.#receive(data));
    socket.on("error", (error) => this.#fail(error));
    socket.on("close", () => this.#fail(new Error("Marionette connection closed")));
  }

  async command(name, params = {}) {
    const text = JSON.stringify([0, ++this.#lastId, name, params]);
    this.#socket.write(`${Buffer.byteLength(text)}:${text}`);
    const [, , error, result] = await this.#next();
    if (error) throw new Error(`${name}: ${error.error}: ${error.message}`);
    return result?.value ?? result;
  }

  close() {
    this.#socket.destroy();
  }

  #next() {
    return new Promise((resolve, reject) => this.#waiting.push({ resolve, reject }));
  }

  #receive(data) {
    this.#buffer = Buffer.concat([this.#buffer, data]);
    for (;;) {
      const colon = this.#buffer.indexOf(":");
      if (colon < 0) return;
      const length = Number(this.#buffer.subarray(0, colon).toString());
      if (this.#buffer.length < colon + 1 + length) return;
      const message = JSON.parse(this.#buffer.subarray(colon + 1, colon + 1 + length).toString());
      this.#buffer = this.#buffer.subarray(colon + 1 + length);
      this.#waiting.shift()?.resolve(message);
    }
  }

  #fail(error) {
    for (const waiter of this.#waiting.splice(0)) waiter.reject(error);
  }
}
