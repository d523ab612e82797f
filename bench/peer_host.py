#!/usr/bin/env python3
"""A native host written the way extension authors usually write one: Python 3 with its
standard json, base64 (strict: validate=True) and os modules. It handles the same messages as
tamberlo-host, with the same replies for the cases the benchmark sends, so that both do the
same work. It stands for the usual alternative to tamberlo-host."""
import base64
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from native_messaging import read_frame, send  # noqa: E402


def downloads():
    home = os.environ.get("HOME")
    return os.path.join(home, "Downloads") if home else None


def free_name(folder, name, suffix=""):
    stem, ext = os.path.splitext(name)
    candidate, n = name + suffix, 1
    while os.path.lexists(os.path.join(folder, candidate)):
        candidate = (f"{stem} ({n}){ext}" if not suffix else f"{name} ({n}){suffix}")
        n += 1
    return candidate


def copy_pattern(name):
    stem, ext = os.path.splitext(name)
    return re.compile(re.escape(stem) + r"(?:-\d+| \d+| \(\d+\))?" + re.escape(ext) + r"\Z")


def handle(message):
    if not isinstance(message, dict) or not str(message.get("type", "")).startswith("file."):
        return {"echo": message}
    kind = message["type"]
    folder = downloads()
    if folder is None:
        return {"ok": False, "error": "no Downloads folder"}
    try:
        if kind == "file.write.begin":
            part = free_name(folder, message["name"], ".part")
            os.close(os.open(os.path.join(folder, part), os.O_WRONLY | os.O_CREAT | os.O_EXCL))
            return {"ok": True, "part": part}
        if kind == "file.write.chunk":
            try:
                data = base64.b64decode(message["data"], validate=True)
            except ValueError:
                return {"ok": False, "error": "bad chunk"}
            offset = message["offset"]
            fd = os.open(os.path.join(folder, message["part"]), os.O_WRONLY)
            try:
                length = os.fstat(fd).st_size
                if offset > length:
                    return {"ok": False, "error": f"offset {offset} past the end {length}"}
                if offset < length:
                    os.ftruncate(fd, offset)
                view = memoryview(data)
                while view:
                    view = view[os.pwrite(fd, view, offset + len(data) - len(view)):]
            finally:
                os.close(fd)
            return {"ok": True, "size": offset + len(data)}
        if kind == "file.write.end":
            part = os.path.join(folder, message["part"])
            fd = os.open(part, os.O_WRONLY)
            try:
                length = os.fstat(fd).st_size
                if length != message["size"]:
                    return {"ok": False, "error": f"written {length} of {message['size']} bytes"}
                os.fdatasync(fd)
            finally:
                os.close(fd)
            final = free_name(folder, message["name"])
            os.rename(part, os.path.join(folder, final))
            dirfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(dirfd)
            finally:
                os.close(dirfd)
            return {"ok": True, "name": final}
        if kind == "file.write.abort":
            os.remove(os.path.join(folder, message["part"]))
            return {"ok": True}
        if kind == "file.exists":
            name = message["name"]
            pattern = copy_pattern(name)
            after = message.get("after")
            found, found_time = None, None
            with os.scandir(folder) as entries:
                for entry in entries:
                    if entry.name.startswith(".") or not pattern.match(entry.name):
                        continue
                    created = entry.stat(follow_symlinks=False).st_ctime
                    if after is None:
                        if entry.name == name:
                            found = entry.name
                            break
                    elif created >= after / 1000 - 120 and (found is None or created < found_time):
                        found, found_time = entry.name, created
            return {"exists": True, "name": found} if found else {"exists": False}
        return {"ok": False, "error": "unknown message " + kind}
    except OSError as error:
        return {"ok": False, "error": error.strerror, "storage": error.errno in (28, 122)}


def main():
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    while (payload := read_frame(stdin)) is not None:
        try:
            message = json.loads(payload)
        except ValueError:
            message = None
        send(stdout, handle(message))


if __name__ == "__main__":
    main()
