"""The local routes, request reading and routing, byte for byte."""
import re
import socket
import threading
import time

import pytest

from conftest import CHAT, LOCAL, Reply, chat, connect, error_text, exchange, http_request, read_all, send_malformed
from expected import HEALTH, MALFORMED, NOT_FOUND
MODELS_BODY = b'{"object":"list","data":[{"id":"auto","object":"model","owned_by":"zelk"}]}'


@pytest.fixture(scope="module")
def shim(mock):
    from conftest import run_shim, Shim
    s = run_shim(("-p", "0"), {"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "k"})
    assert isinstance(s, Shim), s
    yield s
    s.stop()


ACCESS_KEY = "local-Secret_1"


@pytest.mark.parametrize("path", [CHAT, LOCAL])
@pytest.mark.parametrize("given", ["Bearer " + ACCESS_KEY[:-1], "bearer " + ACCESS_KEY], ids=["refused", "let-in"])
def test_access_key(mock, start_shim, path, given):
    mock.reset()
    s = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-up", "ZELK_SHIM_ACCESS_KEY": ACCESS_KEY})
    r = chat(s.port, path=path, headers={"Authorization": given})
    if given.endswith(ACCESS_KEY):  # the upstream gets the configured key, never the caller's
        assert r.status == 200 and [q.header("Authorization") for q in mock.requests] == ["Bearer sk-up"]
        return
    assert (r.status, r.headers["www-authenticate"], mock.requests) == (401, 'Bearer realm="zelk-shim"', [])
    assert "access key" in error_text(r)
    # The health probe and preflights need none.
    assert exchange(s.port, b"GET /health HTTP/1.1\r\n\r\n") == HEALTH
    assert exchange(s.port, b"OPTIONS /v1/chat/completions HTTP/1.1\r\nOrigin: http://localhost:3000\r\n"
                            b"Access-Control-Request-Method: POST\r\n\r\n").startswith(b"HTTP/1.1 204 ")


def test_local_replies_byte_for_byte(shim):
    assert exchange(shim.port, b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n") == HEALTH
    assert exchange(shim.port, b"GET / HTTP/1.1\r\n\r\n") == HEALTH
    assert exchange(shim.port, b"GET /healthz HTTP/1.1\r\n\r\n") == HEALTH  # prefix test
    assert exchange(shim.port, b"GET /index.html HTTP/1.1\r\n\r\n") == NOT_FOUND
    assert exchange(shim.port, b"POST /health HTTP/1.1\r\nContent-Length: 0\r\n\r\n") == NOT_FOUND
    assert exchange(shim.port, b"OPTIONS /v1/models HTTP/1.1\r\n\r\n") == NOT_FOUND
    models = exchange(shim.port, b"GET /v1/models HTTP/1.1\r\n\r\n")
    assert len(MODELS_BODY) == 75
    assert models == (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 75\r\n"
                      b"Connection: close\r\n\r\n" + MODELS_BODY)


def test_api_tags_is_readable_by_both_dialects(shim):
    r = Reply(exchange(shim.port, b"GET /api/tags HTTP/1.1\r\n\r\n"))
    assert r.status == 200 and r.headers["content-type"] == "application/json"
    body = r.json()
    assert body["data"] == [{"id": "auto", "object": "model", "owned_by": "zelk"}]
    [m] = body["models"]
    # A tagged name (clients add ":latest" and look it up), a digest, and
    # fractional seconds, as strict list readers want them.
    assert m["name"] == "auto:latest" and m["model"] == "auto:latest" and m["size"] == 0
    assert re.fullmatch(r"[0-9a-f]{64}", m["digest"])
    assert set(m["details"]) == {"parent_model", "format", "family", "families", "parameter_size", "quantization_level"}
    assert m["details"]["families"] == [m["details"]["family"]]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+Z", m["modified_at"])


@pytest.mark.parametrize("full", [False, True], ids=["default", "full"])
def test_head_is_the_get_reply_without_its_body(mock, start_shim, full):
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), **({"ZELK_SHIM_LOCAL_DIALECT": "full"} if full else {})})
    # Served or not, refused or not: the same header block, never a body.
    for path in ["/health", "/", "/v1/models", "/api/tags", CHAT,
                 "/health\r\nContent-Length: x"] + (["/api/version", "/api/ps", "/api/pull"] if full else []):
        got = exchange(shim.port, f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        head = exchange(shim.port, f"HEAD {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        assert head == got.partition(b"\r\n\r\n")[0] + b"\r\n\r\n" and Reply(got).body(), path
    chat = exchange(shim.port, b"HEAD /api/chat HTTP/1.1\r\n\r\n")
    assert chat.startswith(b"HTTP/1.1 405 ") and b"\r\nAllow: POST\r\n" in chat
    assert exchange(shim.port, b"HEAD /nowhere HTTP/1.1\r\n\r\n") == NOT_FOUND
    assert mock.requests == []


def test_silent_connection_gets_no_reply(shim):
    with connect(shim.port) as s:
        s.shutdown(socket.SHUT_WR)
        assert read_all(s) == b""


def test_header_and_body_in_separate_writes_are_read_whole(mock, shim):
    """TCP keeps no write boundaries: the body written after a pause still counts."""
    mock.reset()
    body = b'{"model":"x","messages":[{"role":"user","content":"split"}]}'
    with connect(shim.port) as s:
        s.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body))
        time.sleep(0.3)
        s.sendall(body[:10])
        time.sleep(0.2)
        s.sendall(body[10:])
        r = Reply(read_all(s))
    assert r.status == 200
    assert mock.last().json()["messages"][1] == {"role": "user", "content": "split"}


def test_large_body_in_many_reads(mock, shim):
    mock.reset()
    text = "x" * 20000
    r = chat(shim.port, {"messages": [{"role": "user", "content": text}]})
    assert r.status == 200
    assert mock.last().json()["messages"][1]["content"] == text


def test_only_content_length_header_declares_the_body(mock, shim):
    mock.reset()
    body = b'{"messages":[{"role":"user","content":"hi"}]}'
    # X-Content-Length is another header; the real length still governs.
    req = (b"POST /v1/chat/completions HTTP/1.1\r\nX-Content-Length: 5\r\ncontent-LENGTH: %d\r\n\r\n" % len(body)) + body
    assert Reply(exchange(shim.port, req)).status == 200
    assert mock.last().json()["messages"][1]["content"] == "hi"


def test_chunked_request_body_is_decoded(mock, shim):
    mock.reset()
    body = b'{"messages":[{"role":"user","content":"chunked upload"}]}'
    framed = b"".join(b"%x;ext=1\r\n%s\r\n" % (len(p), p) for p in (body[:7], body[7:30], body[30:])) + b"0\r\nX-T: 1\r\n\r\n"
    with connect(shim.port) as s:
        s.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
        for i in range(0, len(framed), 9):  # the framing split at awkward places
            s.sendall(framed[i:i + 9])
            time.sleep(0.01)
        r = Reply(read_all(s))
    assert r.status == 200
    assert mock.last().body.startswith(b'{"model":"auto","messages":[{"role":"system"')
    assert mock.last().json()["messages"][1]["content"] == "chunked upload"


@pytest.mark.parametrize("case", MALFORMED, ids=[c.name for c in MALFORMED])
def test_bad_requests_get_a_clear_error(shim, case):
    r = send_malformed(shim.port, case)
    assert r is not None, "closed without a reply"
    assert r.status == case.status
    assert r.status_line.startswith(f"HTTP/1.1 {case.status} ") and len(r.status_line) > 13
    assert r.headers["connection"] == "close"
    err = r.json()["error"]
    assert err["type"] == "zelk_shim_error" and case.words.lower() in err["message"].lower()
    assert int(r.headers["content-length"]) == len(r.body_bytes)


def test_oversized_header_block_is_431(shim):
    with connect(shim.port) as s:
        s.sendall(b"GET /health HTTP/1.1\r\n")
        try:
            for _ in range(80):
                s.sendall(b"X-Filler: " + b"a" * 1000 + b"\r\n")
        except OSError:
            pass
        r = Reply(read_all(s))
    assert r.status == 431 and "header" in r.json()["error"]["message"]


def test_routing_reads_the_request_line_only(mock, shim):
    mock.reset()
    # A chat path in the body or a header does not make a chat request.
    req = http_request("POST", "/other", b'{"url":"/v1/chat/completions","x":"/api/chat"}', {"X-Path": "/api/chat"})
    assert exchange(shim.port, req) == NOT_FOUND
    # Messages that mention /api/chat keep the chat-completions dialect.
    body = {"model": "m", "temperature": 0.5, "messages": [{"role": "user", "content": "see /api/chat"}]}
    r = chat(shim.port, body)
    assert r.status == 200 and r.json()["choices"][0]["message"]["content"] == "Hello from upstream"
    assert mock.last().json()["temperature"] == 0.5  # not converted to the local-model shape
    # Only POST chats: a GET (an <img> on any web page) never reaches the upstream.
    mock.reset()
    assert Reply(exchange(shim.port, b"GET /v1/chat/completions HTTP/1.1\r\n\r\n")).status == 405
    assert len(mock.requests) == 0


def test_slow_and_partial_requests_time_out_after_30s(shim):
    """All three cases share one 30 s window."""
    results = {}

    def silent():
        with connect(shim.port, timeout=60) as s:
            t = time.monotonic()
            results["silent"] = (read_all(s, 60), time.monotonic() - t)

    def partial():
        with connect(shim.port, timeout=60) as s:
            t = time.monotonic()
            s.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")
            results["partial"] = (read_all(s, 60), time.monotonic() - t)

    def trickle():
        with connect(shim.port, timeout=60) as s:
            t = time.monotonic()
            data = b"GET /health HTTP/1.1\r\n" + b"X-Slow: " + b"a" * 100
            try:
                for b in data:
                    s.sendall(bytes([b]))
                    time.sleep(0.5)
            except OSError:
                pass
            results["trickle"] = (read_all(s, 60), time.monotonic() - t)

    threads = [threading.Thread(target=f) for f in (silent, partial, trickle)]
    for t in threads:
        t.start()
    # Meanwhile the shim answers others at once.
    assert exchange(shim.port, b"GET /health HTTP/1.1\r\n\r\n") == HEALTH
    for t in threads:
        t.join(70)
    data, took = results["silent"]
    assert data == b"" and 29 <= took < 40
    for name in ("partial", "trickle"):
        data, took = results[name]
        r = Reply(data)
        assert r.status == 408 and r.status_line == "HTTP/1.1 408 Request Timeout", name
        assert 29 <= took < 40, (name, took)


def test_peer_closing_mid_body_is_not_routed(mock, shim):
    mock.reset()
    with connect(shim.port) as s:
        s.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"messages\":[]}")
        s.shutdown(socket.SHUT_WR)
        r = Reply(read_all(s))
    assert r.status == 400
    assert mock.requests == []


def test_expect_100_continue_is_answered(mock, shim):
    mock.reset()
    body = b'{"messages":[{"role":"user","content":"after continue"}]}'
    with connect(shim.port) as s:
        s.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: %d\r\n\r\n" % len(body))
        s.settimeout(5)
        assert s.recv(100) == b"HTTP/1.1 100 Continue\r\n\r\n"
        s.sendall(body)
        r = Reply(read_all(s))
    assert r.status == 200
    assert mock.last().json()["messages"][1]["content"] == "after continue"
