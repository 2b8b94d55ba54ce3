"""What the shim is expected to send, written once for every suite: the
reply literals, the system prompt, and the table of malformed requests
(shared with the unit tests through tests/data)."""
import collections
import pathlib
import re

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"

HEALTH = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\nConnection: close\r\n\r\n"
          b"{\"status\":\"ok\",\"zelk\":true}\n")
NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
STREAM_HEADER = (b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                 b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")

SYSTEM_PROMPT = (DATA / "system_prompt.txt").read_text(encoding="utf-8")
SYSTEM_MESSAGE = b'{"role":"system","content":"' + SYSTEM_PROMPT.encode() + b'"}'

Malformed = collections.namedtuple("Malformed", "status close name words data")

_ESCAPE = re.compile(rb"\\(x[0-9a-fA-F]{2}|[rnt0\\])|\{(.)\*(\d+)\}")
_SIMPLE = {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"0": b"\0", b"\\": b"\\"}


def _unescape(text):
    def one(m):
        if m.group(1):
            e = m.group(1)
            return bytes([int(e[1:], 16)]) if e.startswith(b"x") else _SIMPLE[e]
        return m.group(2) * int(m.group(3))
    return _ESCAPE.sub(one, text)


def _malformed():
    cases = []
    for line in (DATA / "malformed_requests.txt").read_bytes().split(b"\n"):
        if not line.strip() or line.startswith(b"#"):
            continue
        status, close, name, words, data = line.split(b"\t")
        cases.append(Malformed(int(status), close == b"1", name.decode(), words.decode(), _unescape(data)))
    return cases


MALFORMED = _malformed()
