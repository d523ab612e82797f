#!/usr/bin/env python3
"""Drives tamberlo-host over its native-messaging pipe the way a browser does, printing each
request and reply: an echo, a whole transfer, a second save of the same name, and lookups."""
import base64
import json
import os
import subprocess
import sys
import tempfile
import time

from native_messaging import receive, send


def main():
    host = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="tamberlo-demo-") as home:
        downloads = os.path.join(home, "Downloads")
        os.mkdir(downloads)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

        def ask(message, show=None):
            send(proc.stdin, message)
            reply = receive(proc.stdout)
            print("->", json.dumps(show if show is not None else message))
            print("<-", json.dumps(reply))
            return reply

        ask({"type": "hello", "from": "demo"})
        started_ms = time.time() * 1000
        content = os.urandom(300_000)
        for attempt in range(2):
            part = ask({"type": "file.write.begin", "name": "clip.mp4"})["part"]
            step = 128 * 1024
            for offset in range(0, len(content), step):
                data = base64.b64encode(content[offset:offset + step]).decode()
                ask({"type": "file.write.chunk", "part": part, "offset": offset, "data": data},
                    show={"type": "file.write.chunk", "part": part, "offset": offset,
                          "data": f"<{len(data)} characters of base64>"})
            saved = ask({"type": "file.write.end", "part": part, "name": "clip.mp4",
                         "size": len(content)})["name"]
            with open(os.path.join(downloads, saved), "rb") as f:
                assert f.read() == content, "saved bytes differ"
        ask({"type": "file.exists", "name": "clip.mp4"})
        ask({"type": "file.exists", "name": "clip.mp4", "after": started_ms})
        part = ask({"type": "file.write.begin", "name": "notes.txt"})["part"]
        ask({"type": "file.write.abort", "part": part})
        ask({"type": "file.exists", "name": "../etc/passwd"})
        proc.stdin.close()
        proc.wait()
        print("Downloads now holds:", sorted(os.listdir(downloads)))


if __name__ == "__main__":
    main()
