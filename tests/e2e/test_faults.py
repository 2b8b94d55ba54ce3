"""Upstream faults and vanished callers: every fault ends the caller's
reply clearly (502 in buffered mode, the in-band error event and the last
chunk in stream mode) and the shim goes on serving."""
import email.utils
import re
import socket
import threading
import time

import pytest

import mock_upstream as mu
from conftest import (CHAT, LOCAL, ON_WINDOWS, UPSTREAM_FAILURE, Reply, chat_body, connect, decode_chunks, error_text,
                      exchange, free_port, http_request, wait_for, wine_chunked_quirk)
from expected import HEALTH

ERROR_EVENT = re.compile(rb'\Adata: (\{"error":\{"message":"[^\n]*","type":"zelk_shim_error"\}\})\n\n\Z')


def chat_request(stream, path="/v1/chat/completions"):
    return http_request("POST", path, chat_body(stream))


# Each fault, and the bytes of it that reach a streaming caller before the error event.
FAULTS = {
    "reset": (mu.reset_connection, b""),
    "drop mid body": (mu.drop_mid_body, b'{"choices":'),
    "drop mid stream": (lambda: mu.drop_mid_stream([b"data: one\n\n", b"data: two\n\n"]), b"data: one\n\ndata: two\n\n"),
    "not http": (mu.not_http, b""),
    "closed without a word": (lambda: mu.silence(0.3), b""),
}


def expect_error_reply(raw):
    r = Reply(raw)
    assert r.status_line == "HTTP/1.1 502 Internal", r.status_line  # the relay's own reason phrase
    assert r.headers["content-type"] == "application/json"
    body = r.json()
    assert set(body) == {"error"} and set(body["error"]) == {"message", "type"}
    assert body["error"]["type"] == "zelk_shim_error" and body["error"]["message"]
    return error_text(r)


def expect_stream_end(raw, relayed):
    r = Reply(raw)
    assert r.status == 200 and r.headers["transfer-encoding"] == "chunked"
    chunks = decode_chunks(r.body_bytes)  # strict: ends with the last chunk "0\r\n\r\n"
    assert r.body_bytes.endswith(b"\r\n0\r\n\r\n")
    assert chunks, "no error event"
    assert b"".join(chunks[:-1]) == relayed
    assert ERROR_EVENT.match(chunks[-1]), chunks[-1]
    return error_text(r)


def fault_cases():
    return [pytest.param(f, marks=wine_chunked_quirk) if f == "drop mid stream" else f for f in sorted(FAULTS)]


@pytest.mark.parametrize("fault", fault_cases())
@pytest.mark.parametrize("path", ["/v1/chat/completions", "/api/chat"])
def test_fault_in_buffered_mode_gives_502(mock, relay, fault, path):
    mock.behaviour = FAULTS[fault][0]()
    message = expect_error_reply(exchange(relay.port, chat_request(False, path), timeout=30))
    assert message.startswith(UPSTREAM_FAILURE), message
    mock.behaviour = mu.json_reply(200, mu.CHAT_ANSWER)
    assert Reply(exchange(relay.port, chat_request(False))).status == 200  # the next caller is served


@pytest.mark.parametrize("fault", fault_cases())
def test_fault_in_stream_mode_ends_with_error_event_and_last_chunk(mock, relay, fault):
    make, relayed = FAULTS[fault]
    mock.behaviour = make()
    message = expect_stream_end(exchange(relay.port, chat_request(True), timeout=30), relayed)
    assert message.startswith(UPSTREAM_FAILURE), message
    assert exchange(relay.port, b"GET /health HTTP/1.1\r\n\r\n") == HEALTH


def test_many_faults_at_once_leave_the_shim_serving(mock, relay):
    """Fifty callers meet a mix of faults at the same moment."""
    # (Wine's WinHTTP takes a chunked body cut short for a whole one.)
    makers = [FAULTS[k][0] for k in sorted(FAULTS) if not (ON_WINDOWS and k == "drop mid stream")]
    turn = iter(range(10 ** 6))
    lock = threading.Lock()

    def mixed(conn, req):
        with lock:
            i = next(turn)
        return makers[i % len(makers)]()(conn, req)

    mock.behaviour = mixed
    results = [None] * 50

    def one(i):
        results[i] = exchange(relay.port, chat_request(i % 2 == 0), timeout=30)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(40)
    for i, raw in enumerate(results):
        assert raw, f"caller {i} got nothing"
        r = Reply(raw)
        if i % 2 == 0:
            chunks = decode_chunks(r.body_bytes)
            assert ERROR_EVENT.match(chunks[-1]), chunks[-1]
        else:
            assert r.status == 502
    assert exchange(relay.port, b"GET /health HTTP/1.1\r\n\r\n") == HEALTH


def test_caller_leaving_while_the_upstream_is_silent(mock, relay):
    """The upstream's own silence limit is 600 s, too long for a test; what a
    test can check is that callers who give up on a silent upstream leave
    the shim whole: others are served meanwhile and afterwards."""
    release = threading.Event()

    def silent(conn, req):
        release.wait(20)
        return False

    mock.behaviour = silent
    for stream in (True, False, True, False):
        s = connect(relay.port)
        s.sendall(chat_request(stream))
        time.sleep(0.1)
        s.close()
    assert exchange(relay.port, b"GET /health HTTP/1.1\r\n\r\n") == HEALTH
    release.set()
    time.sleep(0.5)
    mock.behaviour = mu.json_reply(200, mu.CHAT_ANSWER)
    assert Reply(exchange(relay.port, chat_request(False))).status == 200
    assert relay.alive()


STREAM_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"


@pytest.mark.parametrize("stream,head", [
    (False, None),
    pytest.param(True, STREAM_HEAD + mu.chunk(b"data: one\n\n"), marks=wine_chunked_quirk),
], ids=["before the head", "between bytes"])
def test_short_idle_timeout_ends_a_silent_upstreams_turn(mock, start_shim, stream, head):
    """With idle_timeout 1 an upstream that goes silent, before its head or
    after some of its body, fails the turn within seconds with the usual
    error text, and its connection is closed."""
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_IDLE_TIMEOUT": "1"})
    mock.behaviour = mu.silent_until_dropped(mock, 20, head)
    t0 = time.monotonic()
    raw = exchange(shim.port, chat_request(stream), timeout=30)
    took = time.monotonic() - t0
    message = expect_stream_end(raw, b"data: one\n\n") if stream else expect_error_reply(raw)
    # Windows says ERROR_WINHTTP_TIMEOUT (12002); Wine's WinHTTP passes on the socket's WSAETIMEDOUT (10060).
    ends = (" 12002", " 10060") if ON_WINDOWS else ("the upstream was silent for 1 s (28)",)
    assert message.startswith(UPSTREAM_FAILURE) and message.endswith(ends), message
    assert 0.9 <= took < 8, took
    assert wait_for(lambda: mock.dropped_at, 5)


def test_idle_timeout_counts_from_the_last_byte(mock, start_shim):
    """Events 0.6 s apart keep a turn going under idle_timeout 1, however long it runs."""
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_IDLE_TIMEOUT": "1"})
    events = [b"data: %d\n\n" % i for i in range(5)]
    mock.behaviour = mu.event_stream(events, delay=0.6)
    assert Reply(exchange(shim.port, chat_request(True), timeout=30)).body() == b"".join(events)


@pytest.mark.slow
def test_caller_that_stops_reading_is_cut_off_after_the_send_stall(mock, relay):
    """A caller with a tiny receive window that never reads, while the
    upstream streams as fast as it can: the shim's send stalls, after 60 s
    without progress it treats the caller as gone and closes the upstream
    connection; a partial send must not restart the wait."""
    upstream_closed = threading.Event()
    sent = [0]

    def firehose(conn, req):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n")
        ev = mu.chunk(b"data: " + b"z" * 8000 + b"\n\n")
        try:
            while sent[0] < 256 * 1024 * 1024:  # far beyond every buffer on the way
                conn.sendall(ev)
                sent[0] += len(ev)
        except OSError:
            upstream_closed.set()
        return False

    mock.behaviour = firehose
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    s.settimeout(10)
    s.connect(("127.0.0.1", relay.port))
    try:
        s.sendall(chat_request(True))
        t0 = time.monotonic()
        # 60 s and a margin; a send that made partial progress must not restart the limit.
        assert upstream_closed.wait(80), f"upstream still sending after {sent[0]} bytes"
        took = time.monotonic() - t0
        assert took >= 55, f"caller dropped after {took:.1f} s, before the 60 s stall"
        print(f"\nstalled caller dropped after {took:.1f} s; upstream had sent {sent[0] >> 20} MB")
        assert exchange(relay.port, b"GET /health HTTP/1.1\r\n\r\n") == HEALTH
    finally:
        s.close()


# ---- attempts -------------------------------------------------------------

def refusal(status, headers=None, code="rate_limit_exceeded"):
    return mu.json_reply(status, {"error": {"message": f"status {status}", "type": "requests", "code": code}},
                         headers=headers)


def success(stream):
    return mu.event_stream(mu.sse_deltas(["Hel", "lo"])) if stream else mu.json_reply(200, mu.CHAT_ANSWER)


def http_date(seconds_ahead):
    return email.utils.formatdate(time.time() + seconds_ahead, usegmt=True)


NO_LINES = {"x-should-retry": None, "retry-after": None}
GAVE_UP = {"x-should-retry": "false", "retry-after": None}

# What the upstream does (answers for one request after another, made when
# the row runs), where the caller asks, and what comes of it: the attempts
# the mock counted, the caller's status and header lines, and the seconds
# waited (generous bounds). "closed" sends the turn to a port nobody holds.
ATTEMPTS = {
    "429 then 200": (lambda s: [refusal(429, {"Retry-After": "1"}), success(s)], 2, 200, NO_LINES, (0.9, 5)),
    "429 with an HTTP date": (lambda s: [refusal(429, {"Retry-After": http_date(2)}), success(s)], 2, 200, NO_LINES,
                              (0.5, 5)),
    "429 with retry-after-ms": (lambda s: [refusal(429, {"retry-after-ms": "300"}), success(s)], 2, 200, NO_LINES,
                                (0.25, 3)),
    "429 asking too long": (lambda s: [refusal(429, {"Retry-After": "30"}), success(s)], 1, 429,
                            {"x-should-retry": None, "retry-after": "30"}, (0, 3)),
    "quota spent": (lambda s: [refusal(429, code="insufficient_quota"), success(s)], 1, 429, GAVE_UP, (0, 3)),
    "500": (lambda s: [refusal(500), success(s)], 1, 500, NO_LINES, (0, 3)),
    "503 three times": (lambda s: [refusal(503, {"Retry-After": "1"})], 2, 503,
                        {"x-should-retry": "false", "retry-after": "1"}, (0.9, 5)),
    "stream failing after its first event": (lambda s: [mu.drop_mid_stream([b"data: one\n\n"]), success(s)], 1, 200,
                                             NO_LINES, (0, 3)),
    "closed port": ("closed", 0, 502, GAVE_UP, (0.9, 5)),
    "retries off": (lambda s: [refusal(429, {"Retry-After": "1"}), success(s)], 1, 429,
                    {"x-should-retry": None, "retry-after": "1"}, (0, 3), {"ZELK_SHIM_RETRIES": "0"}),
}

# Where each row is asked: (path, stream, local-model mode).
ASKED = {
    "429 then 200": [(CHAT, False, None), (CHAT, True, None), (LOCAL, False, "relay"), (LOCAL, True, "relay"),
                     (LOCAL, True, "full"), (LOCAL, False, "full")],
    "quota spent": [(CHAT, False, None), (LOCAL, False, "full")],
    "stream failing after its first event": [(CHAT, True, None)],
    "closed port": [(CHAT, False, None), (LOCAL, True, "full")],
}


def attempt_cases():
    for name in ATTEMPTS:
        for path, stream, mode in ASKED.get(name, [(CHAT, False, None)]):
            marks = [wine_chunked_quirk] if name == "stream failing after its first event" else []
            yield pytest.param(name, path, stream, mode, marks=marks,
                               id=f"{name}-{path}-{'stream' if stream else 'buffered'}-{mode or ''}")


@pytest.mark.parametrize("name,path,stream,mode", list(attempt_cases()))
def test_attempts(mock, start_shim, name, path, stream, mode):
    answers, attempts, status, lines, (least, most), *env = ATTEMPTS[name]
    mock.reset()
    url = f"http://127.0.0.1:{free_port()}/v1/chat/completions" if answers == "closed" else mock.url()
    extra = {"ZELK_SHIM_URL": url, "ZELK_SHIM_KEY": "sk-test-key", **(env[0] if env else {})}
    if mode:
        extra["ZELK_SHIM_LOCAL_DIALECT"] = mode
    shim = start_shim(env=extra)
    if answers != "closed":
        mock.behaviour = mu.sequence(*answers(stream))
    t0 = time.monotonic()
    r = Reply(exchange(shim.port, chat_request(stream, path), timeout=30))
    waited = time.monotonic() - t0
    assert len(mock.requests) == attempts, [q.request_line for q in mock.requests]
    assert least <= waited < most, waited
    # A stream's head went out before the upstream was asked: its status and lines are the stream's.
    streamed_at_once = stream and mode != "full"
    assert r.status == (200 if streamed_at_once else status), r.raw[:300]
    for line, value in ({} if streamed_at_once else lines).items():
        assert r.headers.get(line) == value, (line, r.raw[:300])
    if name == "stream failing after its first event":
        assert expect_stream_end(r.raw, b"data: one\n\n").startswith(UPSTREAM_FAILURE)
    elif status == 200:
        # Only the last attempt's answer reaches the caller.
        assert b"Hel" in r.body() and b"status 4" not in r.raw, r.raw[:300]
    elif not streamed_at_once or answers == "closed":
        assert error_text(r), r.raw[:300]


def test_caller_leaving_during_the_wait_ends_it(mock, start_shim):
    """The caller goes while the shim waits out a Retry-After: the wait ends
    within about a second and the upstream is not asked again."""
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key", "ZELK_SHIM_LOG": "1"})
    mock.behaviour = mu.sequence(refusal(429, {"Retry-After": "5"}), success(False))
    for stream in (False, True):
        s = connect(shim.port)
        s.sendall(chat_request(stream))
        assert wait_for(lambda: len(mock.requests) >= 1)
        time.sleep(0.3)
        s.close()
        line = shim.next_stderr_line(timeout=10)
        total_ms = int(re.search(r" total_ms=(\d+)", line).group(1))
        assert 'error="caller gone"' in line and total_ms < 2500, line
        assert len(mock.requests) == 1
        mock.reset()
        mock.behaviour = mu.sequence(refusal(429, {"Retry-After": "5"}), success(False))


def test_fallback_answers_while_the_primary_is_down(mock, start_shim):
    """The primary's port is closed: the turn goes on to the fallback at once,
    with the fallback's key and model, and the next turn starts there."""
    mock.reset()
    fallback_key = "sk-fallback-key-0123"
    shim = start_shim(env={"ZELK_SHIM_URL": f"http://127.0.0.1:{free_port()}/v1/chat/completions",
                           "ZELK_SHIM_KEY": "sk-primary-key", "ZELK_SHIM_LOG": "1",
                           "ZELK_SHIM_FALLBACK_URL": mock.url(), "ZELK_SHIM_FALLBACK_KEY": fallback_key,
                           "ZELK_SHIM_FALLBACK_MODEL": "fb-model"})
    answer = {**mu.CHAT_ANSWER, "choices": [{"index": 0, "message": {"role": "assistant", "content": fallback_key}}]}
    mock.behaviour = mu.json_reply(200, answer)
    for path, attempts in ((CHAT, 2), (LOCAL, 1)):
        r = Reply(exchange(shim.port, chat_request(False, path), timeout=30))
        assert r.status == 200 and fallback_key.encode() not in r.raw and b"***" in r.body(), r.raw[:300]
        assert mock.last().header("Authorization") == "Bearer " + fallback_key
        assert mock.last().json()["model"] == "fb-model"
        line = shim.next_stderr_line(timeout=10)
        assert f" upstream=fallback attempts={attempts} " in line, line
    assert len(mock.requests) == 2
