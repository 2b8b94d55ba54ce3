"""End-to-end harness: starts the real shim as a child process (through
shim_process, which the bench shares) and speaks raw TCP to it.
"""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

from mock_upstream import MockUpstream
from shim_process import ROOT, Shim, free_port, run_shim, shim_command, shim_env  # noqa: F401 (used by the tests)

ON_WINDOWS = os.environ.get("ZELK_SHIM_WINDOWS") == "1"

# How an upstream failure begins in an error text, on every system alike; the
# system's own detail (libcurl's words, or the WinHTTP call and its code)
# follows it.
UPSTREAM_FAILURE = ("upstream request failed: ", "empty upstream response")

# Wine's WinHTTP ends a chunked body that was cut before its last chunk as if
# it were complete, and holds each chunk back until the next size line
# arrives; Windows itself does neither.
wine_chunked_quirk = pytest.mark.xfail(ON_WINDOWS, strict=False,
                                       reason="Wine's WinHTTP: chunked bodies cut short end cleanly; chunks held back")

# Under scripts/test.sh (and CI) every peer a suite needs was installed
# first, so one that is missing is a failure, never a quiet skip.
PEERS_REQUIRED = os.environ.get("CI") == "true" or os.environ.get("ZELK_REQUIRE_PEERS") == "1"


def missing_peer(what, how):
    if PEERS_REQUIRED:
        pytest.fail(f"{what} is missing: scripts/test.sh installs it")
    pytest.skip(f"{what} is missing: {how}")


# Accepting and starting threads is far slower under Wine; tests that
# measure how fast the shim answers under load only run natively.
native_timing = pytest.mark.skipif(ON_WINDOWS, reason="timing limits do not hold under Wine")


@pytest.fixture
def start_shim():
    started = []

    def start(args=("-p", "0"), env=None, **kw):
        result = run_shim(args, env, **kw)
        assert isinstance(result, Shim), f"shim did not start: {result}"
        started.append(result)
        return result

    yield start
    for s in started:
        s.stop()


@pytest.fixture(scope="session")
def mock():
    m = MockUpstream()
    yield m
    m.close()


@pytest.fixture(scope="session")
def tls_files():
    d = tempfile.mkdtemp(prefix="zelk-tls-")
    cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True)
    yield cert, key
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture(scope="session")
def tls_mock(tls_files):
    m = MockUpstream(*tls_files)
    yield m
    m.close()


@pytest.fixture
def debug_dir():
    d = tempfile.mkdtemp(prefix="zelk-debug-")
    yield d
    shutil.rmtree(d, ignore_errors=True)


@pytest.fixture
def relay(mock, start_shim, debug_dir):
    """A shim pointed at the plain-HTTP mock, with the mock reset."""
    mock.reset()
    return start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key", "TMPDIR": debug_dir})


@pytest.fixture
def full_relay(mock, start_shim):
    """The same with the local-model dialect in full mode."""
    mock.reset()
    return start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key", "ZELK_SHIM_LOCAL_DIALECT": "full"})


# ---- raw HTTP over TCP ---------------------------------------------------

def connect(port, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_all(s, timeout=15):
    s.settimeout(timeout)
    out = b""
    while True:
        try:
            b = s.recv(65536)
        except ConnectionResetError:
            break
        if not b:
            break
        out += b
    return out


def exchange(port, data, timeout=15):
    """Sends `data` whole and returns every byte until the shim closes."""
    with connect(port) as s:
        s.sendall(data)
        return read_all(s, timeout)


def send_malformed(port, case):
    """Sends one case of expected.MALFORMED; returns the Reply, or None when
    the shim closed without one."""
    with connect(port, timeout=20) as s:
        try:
            s.sendall(case.data)
            if case.close:
                s.shutdown(socket.SHUT_WR)
        except (BrokenPipeError, ConnectionResetError):
            pass  # refused before all of it went out; the reply is still read below
        got = read_all(s, timeout=20)
    return Reply(got) if got else None


def http_request(method, path, body=b"", headers=None):
    head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    for k, v in (headers or {}).items():
        head += f"{k}: {v}\r\n"
    if body or method == "POST":
        head += f"Content-Length: {len(body)}\r\n"
    return head.encode() + b"\r\n" + body


CHAT, LOCAL = "/v1/chat/completions", "/api/chat"


def chat_body(stream=False, content="hi", **extra):
    """A small chat request body, good for either dialect."""
    return json.dumps({"model": "m", "stream": stream, "messages": [{"role": "user", "content": content}],
                       **extra}).encode()


def chat(port, body=None, path=CHAT, headers=None, timeout=15):
    """POSTs one chat request (bytes, an object to encode, or chat_body()) and returns the Reply."""
    if body is None:
        body = chat_body()
    raw = body if isinstance(body, bytes) else json.dumps(body).encode()
    return Reply(exchange(port, http_request("POST", path, raw, headers), timeout))


class Reply:
    def __init__(self, raw):
        self.raw = raw
        head, sep, self.body_bytes = raw.partition(b"\r\n\r\n")
        assert sep, f"no header block in {raw[:200]!r}"
        self.head = head + sep
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        self.status = int(lines[0].split(" ")[1])
        self.headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(":")
            self.headers[k.strip().lower()] = v.strip()

    def body(self):
        """The body as its framing declares it, decoding chunks strictly."""
        if self.headers.get("transfer-encoding") == "chunked":
            return b"".join(decode_chunks(self.body_bytes))
        if "content-length" not in self.headers:
            return self.body_bytes  # delimited by the connection's close
        n = int(self.headers["content-length"])
        assert len(self.body_bytes) >= n
        return self.body_bytes[:n]

    def json(self):
        return json.loads(self.body())


def error_text(reply, status=None):
    """The error text a reply carries, whatever its form: the in-band event
    ending an event stream (after the refusal document it may follow), the
    error line ending a local-model stream, or a JSON error body of either
    dialect ({"error":{"message":...}} or {"error":"..."})."""
    if isinstance(reply, bytes):
        reply = Reply(reply)
    if status is not None:
        assert reply.status == status, reply.raw[:300]
    ctype = reply.headers.get("content-type", "")
    if reply.headers.get("transfer-encoding") == "chunked":
        last = decode_chunks(reply.body_bytes)[-1]
        if ctype == "text/event-stream":
            event = last.removeprefix(b"\n\n")  # a refusal event first ends the upstream's open line
            assert event.startswith(b"data: ") and event.endswith(b"\n\n") and event.count(b"\n\n") == 1, event
            return json.loads(event[6:])["error"]["message"]
        assert last.endswith(b"\n") and last.count(b"\n") == 1, last
        error = json.loads(last)["error"]
    else:
        assert ctype == "application/json", reply.raw[:300]
        error = reply.json()["error"]
    return error if isinstance(error, str) else error["message"]


def decode_chunks(data):
    """Strict chunk decoder: every chunk well formed, ends with the last chunk."""
    chunks = []
    pos = 0
    while True:
        eol = data.index(b"\r\n", pos)
        size = int(data[pos:eol], 16)
        pos = eol + 2
        if size == 0:
            assert data[pos:pos + 2] == b"\r\n", "last chunk not followed by an empty line"
            assert pos + 2 == len(data), "bytes after the last chunk"
            return chunks
        chunks.append(data[pos:pos + size])
        assert len(chunks[-1]) == size, "chunk cut short"
        assert data[pos + size:pos + size + 2] == b"\r\n", "chunk data not followed by CRLF"
        pos += size + 2


def wait_for(pred, timeout=10, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(step)
    return pred()


def shim_path(path):
    """A host path as the shim sees it: Wine reaches the host's files through Z:."""
    return "Z:" + path.replace("/", "\\") if ON_WINDOWS else path


def debug_file_path(debug_dir):
    override = os.environ.get("ZELK_SHIM_DEBUG_FILE")
    return override or os.path.join(debug_dir, "zelk_shim_debug.json")
