"""A scriptable chat-completions upstream on 127.0.0.1 for the end-to-end tests.

Each test sets `mock.behaviour` to one of the answer makers below (or its
own function taking the connection and the parsed request). Every request
is recorded with its request line, headers and body.
"""
import json
import socket
import ssl
import threading
import time


class Recorded:
    def __init__(self, request_line, headers, body):
        self.request_line = request_line
        self.headers = headers  # list of (name, value) in arrival order
        self.body = body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def json(self):
        return json.loads(self.body)


def _read_request(rfile):
    line = rfile.readline(65537)
    if not line:
        return None
    request_line = line.rstrip(b"\r\n").decode("latin-1")
    headers = []
    while True:
        h = rfile.readline(65537)
        if h in (b"\r\n", b"\n", b""):
            break
        name, _, value = h.decode("latin-1").partition(":")
        headers.append((name, value.strip()))
    rec = Recorded(request_line, headers, b"")
    te = rec.header("Transfer-Encoding")
    if te and te.lower() == "chunked":
        body = b""
        while True:
            size = int(rfile.readline().split(b";")[0], 16)
            if size == 0:
                while rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                break
            body += rfile.read(size)
            rfile.readline()
        rec.body = body
    else:
        n = int(rec.header("Content-Length") or 0)
        rec.body = rfile.read(n) if n else b""
    return rec


# ---- answer makers -------------------------------------------------------

def json_reply(status, obj, reason="X", keep_alive=True, headers=None):
    body = obj if isinstance(obj, bytes) else json.dumps(obj).encode()
    extra = "".join(f"{k}: {v}\r\n" for k, v in (headers or {}).items())

    def answer(conn, req):
        head = (f"HTTP/1.1 {status} {reason}\r\nContent-Type: application/json\r\n{extra}"
                f"Content-Length: {len(body)}\r\n"
                + ("" if keep_alive else "Connection: close\r\n") + "\r\n")
        conn.sendall(head.encode() + body)
        return keep_alive
    return answer


def chunk(data):
    return b"%x\r\n%s\r\n" % (len(data), data)


def event_stream(events, delay=0.0, status=200, mock=None, done=True, keep_alive=False, hold=0.0):
    """Sends each event as its own chunk, `delay` seconds apart, recording
    when each left so tests can compare with arrival times; then keeps the
    connection `hold` seconds more before the last chunk (or none, without `done`)."""
    def answer(conn, req):
        head = (f"HTTP/1.1 {status} OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
                + ("" if keep_alive else "Connection: close\r\n") + "\r\n")
        conn.sendall(head.encode())
        try:
            for i, ev in enumerate(events):
                if i and delay:
                    time.sleep(delay)
                conn.sendall(chunk(ev))
                if mock is not None:
                    mock.sent_times.append(time.monotonic())
            time.sleep(hold)
            if done:
                conn.sendall(b"0\r\n\r\n")
        except OSError:
            if mock is not None:
                mock.caller_gone.set()
            return False
        return keep_alive
    return answer


def sse_events(deltas, finish="stop", usage=None, model="m", ended=True, ascii=False):
    """Chat-completions stream events: one per delta (a dict such as
    {"content": ...}, {"reasoning_content": ...} or {"tool_calls": [...]}),
    then the finish event, the usage event when given, and [DONE]. UTF-8 goes
    out as it is unless `ascii`. finish=None with ended=False is a stream cut
    off before its end."""
    def event(obj):
        return b"data: " + json.dumps(obj, ensure_ascii=ascii).encode() + b"\n\n"
    base = {"id": "c1", "object": "chat.completion.chunk", "created": 1, "model": model}
    evs = [event({**base, "choices": [{"index": 0, "delta": d, "finish_reason": None}]}) for d in deltas]
    if finish:
        evs.append(event({**base, "choices": [{"index": 0, "delta": {}, "finish_reason": finish}]}))
    if usage:
        evs.append(event({**base, "choices": [], "usage": usage}))
    if ended:
        evs.append(b"data: [DONE]\n\n")
    return evs


def sse_deltas(words, model="m"):
    """Chat-completions stream events that carry `words` as content deltas."""
    return sse_events([{"content": w} for w in words], model=model, ascii=True)


def tool_call_deltas(calls, pieces=3):
    """Deltas carrying `calls` [(id, name, arguments text)] as upstreams stream
    them: id and name first, then the arguments in `pieces` fragments."""
    deltas = []
    for i, (call_id, name, arguments) in enumerate(calls):
        deltas.append({"tool_calls": [{"index": i, "id": call_id, "type": "function",
                                       "function": {"name": name, "arguments": ""}}]})
        step = max(1, -(-len(arguments) // pieces))
        for at in range(0, len(arguments), step):
            deltas.append({"tool_calls": [{"index": i, "function": {"arguments": arguments[at:at + step]}}]})
    return deltas


def split_mid_character(events):
    """The stream's bytes cut into blocks right after the first byte of every
    multi-byte character, so each of those characters spans two blocks."""
    data = b"".join(events)
    cuts = [i + 1 for i, byte in enumerate(data) if byte >= 0xC0]
    return [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]


def chat_stream(deltas, usage=None, finish="stop", split=False):
    """Streams `deltas` as events (blocks cut mid-character when `split`);
    the usage event comes only when the request asked for it with
    stream_options.include_usage, as upstreams do."""
    def answer(conn, req):
        asked = (req.json().get("stream_options") or {}).get("include_usage") is True
        events = sse_events(deltas, finish, usage if asked else None)
        return event_stream(split_mid_character(events) if split else events)(conn, req)
    return answer


def sequence(*answers):
    """The n-th request gets answers[n]; the last answer goes on from there."""
    lock = threading.Lock()
    turn = [0]

    def answer(conn, req):
        with lock:
            i = min(turn[0], len(answers) - 1)
            turn[0] += 1
        return answers[i](conn, req)
    return answer


def no_body(status=204):
    def answer(conn, req):
        conn.sendall(f"HTTP/1.1 {status} No Content\r\n\r\n".encode())
        return True
    return answer


def drop_mid_body(mock=None):
    """Declares a long body, sends part of it, then drops the connection."""
    def answer(conn, req):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n{\"choices\":")
        time.sleep(0.05)
        return False
    return answer


def drop_mid_stream(events):
    def answer(conn, req):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n")
        for ev in events:
            conn.sendall(chunk(ev))
        time.sleep(0.05)
        return False  # closed without the last chunk
    return answer


def reset_connection():
    def answer(conn, req):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        return False
    return answer


def not_http():
    def answer(conn, req):
        conn.sendall(b"SSH-2.0-OpenSSH_9.2\r\nthis is not http at all\r\n")
        time.sleep(0.05)
        return False
    return answer


def silence(seconds):
    def answer(conn, req):
        time.sleep(seconds)
        return False
    return answer


# ---- hostile answers -----------------------------------------------------

def echo_past_its_framing(pause=0.05, ambiguous=False):
    """Answers each request with its own last message as the content, the
    head first, then after `pause` (none: in the same send) the body followed
    at once by a whole second answer on the same connection, which no request
    asked for; or, when `ambiguous`, a chunked body under a head that also
    gives a length."""
    def reply(content):
        body = json.dumps({"choices": [{"message": {"role": "assistant", "content": content}}]}).encode()
        return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n" % len(body), body)

    def answer(conn, req):
        head, body = reply(req.json()["messages"][-1]["content"])
        if ambiguous:
            head, body = head + b"Transfer-Encoding: chunked\r\n", chunk(body) + b"0\r\n\r\n"
        head += b"\r\n"
        rest = body if ambiguous else body + b"\r\n".join(reply("stale"))
        if pause:
            conn.sendall(head)
            time.sleep(pause)
            head = b""
        conn.sendall(head + rest)
        return True
    return answer


def huge_answer(size, chunked=False):
    """A JSON-looking answer of `size` bytes, sent as fast as it is read; a
    caller that stops reading just closes the connection."""
    block = b"x" * 65536

    def answer(conn, req):
        head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
        head += "Transfer-Encoding: chunked\r\n\r\n" if chunked else f"Content-Length: {size}\r\n\r\n"
        try:
            conn.sendall(head.encode())
            left = size
            while left:
                piece = block[:min(left, len(block))]
                conn.sendall(chunk(piece) if chunked else piece)
                left -= len(piece)
            if chunked:
                conn.sendall(b"0\r\n\r\n")
        except OSError:
            pass
        return False
    return answer


def encoded_answer(coding, body):
    """Answers with a Content-Encoding nobody asked for."""
    def answer(conn, req):
        conn.sendall((f"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: {coding}\r\n"
                      f"Content-Length: {len(body)}\r\n\r\n").encode() + body)
        return True
    return answer


def raw_status(status, body=b'{"ok":true}'):
    """A status line with any number, 1xx and out-of-range ones included."""
    def answer(conn, req):
        conn.sendall(f"HTTP/1.1 {status} Odd\r\nContent-Type: application/json\r\n"
                     f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
        time.sleep(0.05)
        return False
    return answer


def silent_until_dropped(mock, limit, head=None):
    """Says nothing (or only `head`) and waits up to `limit` seconds for the
    shim to drop the connection; records in mock.dropped_at when it did."""
    def answer(conn, req):
        if head:
            conn.sendall(head)
        conn.settimeout(limit)
        try:
            while conn.recv(4096):
                pass
        except TimeoutError:
            return False  # never dropped
        except OSError:
            pass
        mock.dropped_at.append(time.monotonic())
        return False
    return answer


CHAT_ANSWER = {
    "id": "chatcmpl-1", "object": "chat.completion", "created": 1, "model": "upstream-model",
    "choices": [{"index": 0, "message": {"role": "assistant", "content": "Hello from upstream"},
                 "finish_reason": "stop"}],
    "usage": {"prompt_tokens": 12, "completion_tokens": 5, "total_tokens": 17},
}


class MockUpstream:
    def __init__(self, tls_cert=None, tls_key=None):
        self.requests = []
        self.behaviour = json_reply(200, CHAT_ANSWER)
        self.sent_times = []
        self.caller_gone = threading.Event()
        self.dropped_at = []
        self.connections = 0
        self.warm_ups = 0  # bodiless OPTIONS requests, answered here and not recorded
        self._lock = threading.Lock()
        self._ctx = None
        if tls_cert:
            self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._ctx.load_cert_chain(tls_cert, tls_key)
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(256)
        self.port = self._sock.getsockname()[1]
        self._stop = False
        self._thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._thread.start()

    def url(self, path="/v1/chat/completions"):
        scheme = "https" if self._ctx else "http"
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def reset(self):
        with self._lock:
            self.requests.clear()
            self.warm_ups = 0
        self.sent_times.clear()
        self.caller_gone.clear()
        self.dropped_at.clear()
        self.behaviour = json_reply(200, CHAT_ANSWER)

    def last(self):
        with self._lock:
            return self.requests[-1]

    def close(self):
        self._stop = True
        try:
            self._sock.close()
        except OSError:
            pass

    def _accept_loop(self):
        while not self._stop:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            with self._lock:
                self.connections += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            if self._ctx:
                conn = self._ctx.wrap_socket(conn, server_side=True)
            rfile = conn.makefile("rb")
            while True:
                req = _read_request(rfile)
                if req is None:
                    break
                if req.request_line.startswith("OPTIONS "):
                    # The shim opens its first connection with one at start-up;
                    # it is no chat request and takes no test's answer.
                    with self._lock:
                        self.warm_ups += 1
                    conn.sendall(b"HTTP/1.1 204 No Content\r\n\r\n")
                    continue
                with self._lock:
                    self.requests.append(req)
                if not self.behaviour(conn, req):
                    break
        except (OSError, ValueError, ssl.SSLError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
