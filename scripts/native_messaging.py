"""The native-messaging wire format for the project's Python programs: each message is a 4-byte
length in native byte order followed by that many bytes of UTF-8 JSON."""
import json
import struct

_LENGTH = struct.Struct("=I")


def frame(payload):
    """The frame that carries `payload` (bytes, or text sent as UTF-8)."""
    data = payload.encode() if isinstance(payload, str) else payload
    return _LENGTH.pack(len(data)) + data


def read_frame(stream):
    """The payload of the next frame on `stream` (a binary file object), or None at the end of
    input or when the end cuts a frame short."""
    header = stream.read(_LENGTH.size)
    if len(header) < _LENGTH.size:
        return None
    (length,) = _LENGTH.unpack(header)
    payload = stream.read(length)
    return payload if len(payload) == length else None


def send(stream, message):
    """Writes `message` as a compact JSON frame and flushes `stream`."""
    stream.write(frame(json.dumps(message, separators=(",", ":"))))
    stream.flush()


def receive(stream):
    """The next frame's message decoded from JSON, or None at the end of input."""
    payload = read_frame(stream)
    return None if payload is None else json.loads(payload)
