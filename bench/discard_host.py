#!/usr/bin/env python3
"""The ceiling for a browser's native messaging: a host that reads each frame and throws its
bytes away, answering every frame with {"ok": true} so that the sender's flow control works
as it does with the real host. Its standard-input pipe is enlarged as the real host's is, to
TAMBERLO_DISCARD_PIPE bytes when set (65536 leaves the kernel's default)."""
import fcntl
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from native_messaging import frame  # noqa: E402

F_SETPIPE_SZ = 1031
FRAME = frame(b'{"ok":true}')


def main():
    try:
        fcntl.fcntl(0, F_SETPIPE_SZ, int(os.environ.get("TAMBERLO_DISCARD_PIPE", 1 << 20)))
    except OSError:
        pass
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    stdin = sys.stdin.buffer.raw
    # Frames are read through, never held: the payload passes a reused buffer.
    while True:
        head = b""
        while len(head) < 4:
            piece = os.read(0, 4 - len(head))
            if not piece:
                return
            head += piece
        (left,) = struct.unpack("=I", head)
        while left > 0:
            got = stdin.readinto(view[:min(left, len(buffer))])
            if not got:
                return
            left -= got
        os.write(1, FRAME)


if __name__ == "__main__":
    main()
