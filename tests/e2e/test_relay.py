"""The chat relay for the chat-completions dialect: the upstream request,
buffered replies, streamed replies, failures, the debug copy, TLS."""
import http.client
import json
import os
import socket
import stat
import threading
import time

import pytest

import mock_upstream as mu
from conftest import (CHAT, LOCAL, ON_WINDOWS, UPSTREAM_FAILURE, Reply, chat, chat_body, connect, debug_file_path,
                      decode_chunks, error_text, exchange, free_port, http_request, read_all, shim_path, wait_for,
                      wine_chunked_quirk)

from expected import STREAM_HEADER, SYSTEM_MESSAGE, SYSTEM_PROMPT


def test_prompt_and_header_sizes():
    assert len(SYSTEM_PROMPT) == 382 and len(STREAM_HEADER) == 124


def test_upstream_request_is_exact(mock, relay):
    body = b'{"model":"gpt-x","messages":[{"role":"user","content":"hi"}],"stream":false}'
    r = chat(relay.port, body)
    assert r.status == 200
    got = mock.last()
    assert got.request_line == "POST /v1/chat/completions HTTP/1.1"
    names = sorted(k.lower() for k, _ in got.headers)
    # WinHTTP adds its own "Connection: Keep-Alive" line; libcurl adds none.
    client_lines = ["connection"] if ON_WINDOWS else []
    assert names == sorted(["accept", "authorization", "content-length", "content-type", "host", "user-agent"]
                           + client_lines)
    assert got.header("Content-Type") == "application/json"
    assert got.header("Authorization") == "Bearer sk-test-key"
    assert got.header("Accept") == "text/event-stream"
    assert got.header("User-Agent") == "zelk-shim/1.0"
    assert got.header("Host") == f"127.0.0.1:{mock.port}"
    assert got.body == (b'{"model":"auto","messages":[' + SYSTEM_MESSAGE +
                        b',{"role":"user","content":"hi"}],"stream":false}')
    assert int(got.header("Content-Length")) == len(got.body)


def test_rewrite_keeps_every_other_byte(mock, relay):
    body = (b'{ "temperature" : 0.25 ,\n "messages"\t:  [ ],"model" :"caller", "tools":[{"x":"]"}],'
            b'"n":1 }')
    chat(relay.port, body)
    assert mock.last().body == (b'{ "temperature" : 0.25 ,\n "messages":[' + SYSTEM_MESSAGE +
                                b' ],"model" :"auto", "tools":[{"x":"]"}],"n":1 }')
    json.loads(mock.last().body)


def test_only_top_level_members_count(mock, relay):
    """A message whose text is "stream" or that mentions "model" changes nothing."""
    body = {"messages": [{"role": "user", "content": "stream"}, {"role": "user", "content": "\"model\": \"x\""},
                         {"role": "user", "model": "inner"}], "stream": True, "model": "caller"}
    mock.behaviour = mu.event_stream([b"data: one\n\n"])
    r = chat(relay.port, body)
    assert r.head == STREAM_HEADER and r.body() == b"data: one\n\n"
    sent = mock.last().json()
    assert sent["model"] == "auto" and sent["stream"] is True
    assert sent["messages"][1:] == body["messages"]

    mock.reset()
    body = {"messages": [{"role": "user", "content": "\"stream\":true"}], "stream": False}
    r = chat(relay.port, body)
    assert r.headers["content-type"] == "application/json" and r.json()["choices"]


def test_model_is_escaped_and_added_when_missing(mock, start_shim):
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_MODEL": 'we"ird\\model'})
    chat(shim.port, b'{"messages":[]}')
    sent = mock.last()
    assert sent.body.startswith(b'{"model":"we\\"ird\\\\model","messages":[')
    assert sent.json()["model"] == 'we"ird\\model'
    # The model list carries the same escaped name.
    models = Reply(exchange(shim.port, b"GET /v1/models HTTP/1.1\r\n\r\n")).json()
    assert models["data"][0]["id"] == 'we"ird\\model'


@pytest.mark.parametrize("dialect", ["relay", "full"])
def test_persona_file_or_none_is_the_system_message_in_every_dialect(mock, start_shim, tmp_path, dialect):
    """The persona file's text (its byte order mark and last line end left
    out) leads the messages on every chat path; with none the caller's
    messages go alone, as they came, and the model is still forced."""
    text = "R\u00e9ponds en fran\u00e7ais.\r\n\t\"Bri\u00e8vement\", s'il te pla\u00eet."
    persona = tmp_path / "persona.txt"
    persona.write_bytes(b"\xef\xbb\xbf" + text.encode() + b"\r\n")
    user = {"role": "user", "content": "hi"}
    paths = [CHAT, LOCAL] + (["/api/generate"] if dialect == "full" else [])
    for setting, lead in [(shim_path(str(persona)), [{"role": "system", "content": text}]), ("none", [])]:
        mock.reset()
        shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_LOCAL_DIALECT": dialect,
                               "ZELK_SHIM_PERSONA": setting})
        for path in paths:
            asked = {"prompt": "hi"} if path == "/api/generate" else {"messages": [user]}
            assert chat(shim.port, {"model": "m", "stream": False, **asked}, path).status == 200, path
            sent = mock.last()
            assert sent.json()["messages"] == lead + [user] and sent.json()["model"] == "auto", (path, sent.body)
        if not lead:
            chat(shim.port, b'{"messages" : [ {"role":"user"} ],"model":"m"}')
            assert mock.last().body == b'{"messages" : [ {"role":"user"} ],"model":"auto"}'
        shim.stop()


def test_body_without_messages_is_refused_before_the_upstream(mock, relay):
    # An upstream that takes a prompt would bill the caller's model for it.
    r = chat(relay.port, b'{"model":"caller","prompt":"no messages here"}')
    assert r.json() == {"error": {"message": "messages is required", "type": "zelk_shim_error"}}
    assert r.status == 400 and mock.requests == []


@pytest.mark.parametrize("status", [400, 401, 429, 500])
def test_buffered_reply_carries_upstream_status(mock, relay, status):
    err = {"error": {"message": "nope", "type": "invalid_request_error"}}
    mock.behaviour = mu.json_reply(status, err)
    r = chat(relay.port, {"messages": []})
    body = json.dumps(err).encode()
    # A 429 is tried again first; the caller then hears not to try once more.
    given_up = b"x-should-retry: false\r\n" if status == 429 else b""
    assert r.raw == (f"HTTP/1.1 {status} ".encode() + r.status_line.split(" ", 2)[2].encode() +
                     b"\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n" % len(body)
                     + given_up + b"\r\n" + body)
    assert r.status_line in ("HTTP/1.1 400 Bad Request", "HTTP/1.1 401 Unauthorized",
                             "HTTP/1.1 429 Too Many Requests", "HTTP/1.1 500 Internal Server Error")


def test_buffered_success_is_passed_through(mock, relay):
    r = chat(relay.port, {"messages": [{"role": "user", "content": "hi"}]})
    body = json.dumps(mu.CHAT_ANSWER).encode()
    assert r.raw == (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % len(body) + body)


@pytest.mark.parametrize("url,message", [
    ("ftp://x/y", "bad ZELK_SHIM_URL scheme"),
    ("https:///v1/chat/completions", "empty host"),
    ("https://:443/v1", "empty host"),
    ("http://127.0.0.1:0/v1", "bad ZELK_SHIM_URL port"),
    ("http://127.0.0.1:65536/v1", "bad ZELK_SHIM_URL port"),
    ("http://127.0.0.1:80x/v1", "bad ZELK_SHIM_URL port"),
])
def test_bad_url_gives_502(start_shim, url, message):
    shim = start_shim(env={"ZELK_SHIM_URL": url})
    r = chat(shim.port, {"messages": []})
    body = b'{"error":{"message":"' + message.encode() + b'","type":"zelk_shim_error"}}'
    if message == "bad ZELK_SHIM_URL scheme":
        assert len(body) == 73
    assert r.raw == (b"HTTP/1.1 502 Internal\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
                     b"Connection: close\r\n\r\n" % len(body) + body)
    # The same failure in stream mode is one in-band error event, then the end.
    r = chat(shim.port, {"messages": [], "stream": True})
    assert r.head == STREAM_HEADER
    assert r.body() == b"data: " + body + b"\n\n"


def test_empty_upstream_answer(mock, relay):
    mock.behaviour = mu.no_body(204)
    assert error_text(chat(relay.port, {"messages": []}), 502) == "empty upstream response (status 204)"
    r = chat(relay.port, {"messages": [], "stream": True})
    assert r.head == STREAM_HEADER
    assert error_text(r) == "empty upstream response (status 204)"


def test_connection_refused(start_shim):
    shim = start_shim(env={"ZELK_SHIM_URL": f"http://127.0.0.1:{free_port()}/v1/chat/completions",
                           "ZELK_SHIM_KEY": "k"})
    r = chat(shim.port, {"messages": []})
    assert r.status == 502 and r.status_line == "HTTP/1.1 502 Internal"
    msg = error_text(r)
    # The same words on every system; libcurl's detail ends with its code.
    assert msg.startswith("upstream request failed: ") and (ON_WINDOWS or msg.endswith("(7)")), msg
    # The connection tried at start-up failed without a word.
    shim.proc.kill()
    shim.proc.wait(timeout=10)
    assert shim.after.strip() + shim.proc.stderr.read() == b""


@wine_chunked_quirk
def test_stream_relays_events_as_they_arrive(mock, relay):
    events = [b"data: {\"n\":%d}\n\n" % i for i in range(3)]
    mock.behaviour = mu.event_stream(events, delay=0.4, mock=mock)
    with connect(relay.port) as s:
        s.sendall(http_request("POST", "/v1/chat/completions", b'{"messages":[],"stream":true}'))
        s.settimeout(10)
        data = b""
        arrivals = []
        while len(arrivals) < 3:
            b = s.recv(65536)
            assert b, "closed early"
            data += b
            n = data.count(b"\n\n")  # each event ends with a blank line
            while len(arrivals) < n:
                arrivals.append(time.monotonic())
        data += read_all(s)
    assert data.startswith(STREAM_HEADER)
    # Each event came while the next one was still being held back upstream.
    assert arrivals[1] - arrivals[0] > 0.3 and arrivals[2] - arrivals[1] > 0.3
    for sent, got in zip(mock.sent_times, arrivals):
        assert got - sent < 0.25
    # One chunk per relayed block, then the last chunk.
    assert data[len(STREAM_HEADER):] == b"".join(mu.chunk(e) for e in events) + b"0\r\n\r\n"


def test_stream_decodes_with_strict_http_client(mock, relay):
    mock.behaviour = mu.event_stream(mu.sse_deltas(["Hel", "lo", " there"]), delay=0.01)
    conn = http.client.HTTPConnection("127.0.0.1", relay.port, timeout=10)
    conn.request("POST", "/v1/chat/completions", body=b'{"messages":[],"stream":true}',
                 headers={"Content-Type": "application/json"})
    resp = conn.getresponse()
    assert resp.status == 200 and resp.getheader("Transfer-Encoding") == "chunked"
    data = resp.read()  # raises IncompleteRead on any framing fault
    assert data == b"".join(mu.sse_deltas(["Hel", "lo", " there"]))
    conn.close()


def test_stream_relays_upstream_error_document_then_says_so(mock, relay):
    """The upstream's refusal reaches the caller unchanged, followed by an
    event that event-stream readers understand."""
    err = {"error": {"message": "bad \"key\"", "type": "invalid_request_error"}}
    mock.behaviour = mu.json_reply(401, err)
    r = chat(relay.port, {"messages": [], "stream": True})
    assert r.head == STREAM_HEADER
    chunks = decode_chunks(r.body_bytes)
    assert chunks[0] == json.dumps(err).encode()
    assert chunks[1] == (b'\n\ndata: {"error":{"message":"upstream refused the request (status 401): bad \\"key\\"",'
                         b'"type":"zelk_shim_error"}}\n\n')
    assert json.loads(chunks[1][8:])["error"]["message"].endswith('bad "key"')
    mock.behaviour = mu.json_reply(500, b"<html>oops</html>")
    r = chat(relay.port, {"messages": [], "stream": True})
    assert r.body() == (b'<html>oops</html>\n\ndata: {"error":{"message":"upstream refused the request (status 500)",'
                        b'"type":"zelk_shim_error"}}\n\n')


@wine_chunked_quirk
def test_stream_ends_at_done_while_the_upstream_holds_its_body_open(mock, start_shim):
    """The reply ends with the upstream's [DONE] event (here cut across blocks,
    with CRLF line ends) although the upstream's body goes on; the log takes
    the stream's usage and no departure."""
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "k", "ZELK_SHIM_LOG": "stderr"})
    events = mu.sse_events([{"content": "hi"}], usage={"prompt_tokens": 3, "completion_tokens": 1, "total_tokens": 4})
    events[-1:] = [b"data: [DO", b"NE]\r\n", b"\r\n"]
    mock.behaviour = mu.event_stream(events, delay=0.02, done=False, hold=5)
    started = time.monotonic()
    r = chat(shim.port, chat_body(stream=True))
    assert time.monotonic() - started < 3
    assert r.body() == b"".join(events)  # nothing more: no error event, then the last chunk
    line = shim.next_stderr_line()
    assert 'prompt_tokens=3 completion_tokens=1 error=""' in line, line


@wine_chunked_quirk
def test_upstream_drop_mid_stream_ends_with_error_event(mock, relay):
    mock.behaviour = mu.drop_mid_stream([b"data: first\n\n"])
    r = chat(relay.port, {"messages": [], "stream": True})
    chunks = decode_chunks(r.body_bytes)
    assert chunks[0] == b"data: first\n\n"
    assert error_text(r).startswith(UPSTREAM_FAILURE)
    assert chunks[-1].endswith(b"\",\"type\":\"zelk_shim_error\"}}\n\n")


def test_caller_leaving_aborts_the_upstream_transfer(mock, relay):
    events = [b"data: %d\n\n" % i for i in range(200)]
    mock.behaviour = mu.event_stream(events, delay=0.05, mock=mock)
    with connect(relay.port) as s:
        s.sendall(http_request("POST", "/v1/chat/completions", b'{"messages":[],"stream":true}'))
        s.settimeout(10)
        got = b""
        while b"data: 1\n\n" not in got:
            got += s.recv(65536)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    # The upstream sees its connection closed long before its 10 s of events end.
    assert mock.caller_gone.wait(5)
    assert len(mock.sent_times) < 100


def test_debug_copy(mock, start_shim, debug_dir):
    path = debug_file_path(debug_dir)
    for value in ("1", "0"):
        if os.path.exists(path):
            os.remove(path)
        mock.reset()
        shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_DEBUG": value, "TMPDIR": debug_dir})
        chat(shim.port, {"messages": [{"role": "user", "content": "copy me"}]})
        with open(path, "rb") as f:
            assert f.read() == mock.last().body
        if os.name == "posix" and os.environ.get("ZELK_SHIM_WINDOWS") != "1":
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
            assert not [n for n in os.listdir(debug_dir) if n.endswith(".tmp")]
        shim.stop()
    os.remove(path)
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_DEBUG": "", "TMPDIR": debug_dir})
    chat(shim.port, {"messages": []})
    assert not os.path.exists(path)


@pytest.mark.skipif(os.environ.get("ZELK_SHIM_WINDOWS") == "1", reason="symbolic links are a POSIX concern")
def test_debug_copy_never_follows_a_planted_link(mock, start_shim, debug_dir):
    path = debug_file_path(debug_dir)
    victim = os.path.join(debug_dir, "victim")
    with open(victim, "wb") as f:
        f.write(b"precious")
    os.symlink(victim, path)
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_DEBUG": "1", "TMPDIR": debug_dir})
    chat(shim.port, {"messages": []})
    with open(victim, "rb") as f:
        assert f.read() == b"precious"
    assert not os.path.islink(path)


def test_concurrent_debug_copies_are_never_mixed(mock, start_shim, debug_dir):
    path = debug_file_path(debug_dir)
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_DEBUG": "1", "TMPDIR": debug_dir})
    bodies = [{"messages": [{"role": "user", "content": str(i) * 200000}]} for i in range(6)]
    seen = []
    stop = threading.Event()

    def watch():
        while not stop.is_set():
            try:
                with open(path, "rb") as f:
                    seen.append(f.read())
            except FileNotFoundError:
                pass

    w = threading.Thread(target=watch)
    w.start()
    threads = [threading.Thread(target=chat, args=(shim.port, b)) for b in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    stop.set()
    w.join()
    sent = {r.body for r in mock.requests}
    assert seen and all(s in sent for s in seen)


@pytest.mark.skipif(os.environ.get("ZELK_SHIM_WINDOWS") == "1", reason="WinHTTP trusts the Windows store only; the test certificate is not in it")
def test_tls_upstream(tls_mock, tls_files, start_shim):
    tls_mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": tls_mock.url(), "SSL_CERT_FILE": tls_files[0], "ZELK_SHIM_KEY": "k"})
    r = chat(shim.port, {"messages": [{"role": "user", "content": "secure"}]})
    assert r.status == 200 and r.json() == mu.CHAT_ANSWER
    assert tls_mock.last().json()["messages"][1]["content"] == "secure"
    tls_mock.behaviour = mu.event_stream([b"data: a\n\n", b"data: b\n\n"])
    r = chat(shim.port, {"messages": [], "stream": True})
    assert r.body() == b"data: a\n\ndata: b\n\n"


def test_tls_upstream_with_untrusted_certificate_fails(tls_mock, start_shim):
    tls_mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": tls_mock.url()})
    r = chat(shim.port, {"messages": []})
    assert r.status == 502
    assert tls_mock.requests == []


def test_upstream_connections_are_reused(mock, relay):
    # The connection opened at start-up (one bodiless OPTIONS, no key) carries
    # the first chat turn and every one after it.
    assert wait_for(lambda: mock.warm_ups == 1)
    time.sleep(0.2)  # its answer on the way back into the shim's pool
    before = mock.connections
    for _ in range(5):
        assert chat(relay.port, {"messages": []}).status == 200
    assert mock.connections == before
    assert mock.warm_ups == 1
    assert all(r.request_line.startswith("POST ") for r in mock.requests)


def test_full_mode_streams_keep_the_upstream_connection(mock, full_relay):
    # The line stream ends at [DONE]; the rest of the upstream's answer (its
    # last chunk) is still read, so the connection stays for the next turn.
    assert wait_for(lambda: mock.warm_ups == 1)
    time.sleep(0.2)
    before = mock.connections
    mock.behaviour = mu.event_stream(mu.sse_deltas(["warm"]), delay=0.05, keep_alive=True)
    for _ in range(4):
        r = chat(full_relay.port, {"messages": [{"role": "user", "content": "hi"}], "stream": True}, LOCAL)
        assert r.status == 200 and json.loads(r.body().splitlines()[-1])["done"] is True
    assert mock.connections == before and len(mock.requests) == 4


def test_ipv6_upstream(start_shim):
    try:
        srv = socket.socket(socket.AF_INET6)
        srv.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    srv.listen(1)
    port = srv.getsockname()[1]
    got = {}

    def serve():
        while "req" not in got:
            c, _ = srv.accept()
            data = b""
            while b"\r\n\r\n" not in data:
                data += c.recv(65536)
            if not data.startswith(b"OPTIONS "):  # the shim's start-up connection comes first
                got["req"] = data
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}")
            c.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    shim = start_shim(env={"ZELK_SHIM_URL": f"http://[::1]:{port}/v1/chat/completions"})
    r = chat(shim.port, {"messages": []})
    srv.close()
    assert r.status == 200 and r.body() == b"{}"
    assert got["req"].startswith(b"POST /v1/chat/completions HTTP/1.1\r\n")


def test_upstream_closing_an_idle_connection_does_not_fail_the_next_request(mock, relay):
    """A pooled connection the upstream has since closed is replaced quietly."""
    def answer_then_hang_up(conn, req):
        mu.json_reply(200, mu.CHAT_ANSWER)(conn, req)
        time.sleep(0.1)
        return False  # closed without saying so in the reply

    mock.behaviour = answer_then_hang_up
    for _ in range(3):
        r = chat(relay.port, {"messages": []})
        assert r.status == 200 and r.json() == mu.CHAT_ANSWER
        time.sleep(0.3)
    assert len(mock.requests) == 3


@pytest.mark.parametrize("secure,pause,ambiguous", [
    pytest.param(False, 0.05, False, marks=pytest.mark.xfail(
        ON_WINDOWS, strict=False, reason="WinHTTP reads a length-framed body no further than its length and tells "
                                         "nothing of what waits beyond it on a plain connection")),
    (False, 0, False),
    pytest.param(True, 0.05, False, marks=pytest.mark.skipif(
        ON_WINDOWS, reason="WinHTTP trusts the Windows store only; the test certificate is not in it")),
    (False, 0.05, True)])
def test_a_connection_that_carried_more_than_its_answer_is_closed(request, start_shim, tls_files, secure, pause,
                                                                  ambiguous):
    """An answer followed on its connection by a whole answer nobody asked
    for (after the head's pause, or in its read; over TLS in the same record
    as the body's end), or one whose head framed its body two ways: that
    connection is closed, so every later turn, whoever's, gets its own answer."""
    upstream = request.getfixturevalue("tls_mock" if secure else "mock")
    upstream.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": upstream.url(), "SSL_CERT_FILE": tls_files[0]})
    assert wait_for(lambda: upstream.warm_ups == 1)
    time.sleep(0.2)  # the warm connection on the way back into the shim's pool
    before = upstream.connections
    upstream.behaviour = mu.echo_past_its_framing(pause, ambiguous)
    for turn in range(4):
        r = chat(shim.port, chat_body(content=f"turn {turn}"))
        assert r.status == 200 and r.json()["choices"][0]["message"]["content"] == f"turn {turn}"
    assert len(upstream.requests) == 4 and upstream.connections - before == 3  # the warm one, then one each


@pytest.mark.skipif(os.environ.get("ZELK_SHIM_WINDOWS") == "1", reason="the Windows build uses its own trust store")
def test_curl_ca_bundle_wins_over_ssl_cert_file(tls_mock, tls_files, start_shim):
    tls_mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": tls_mock.url(), "CURL_CA_BUNDLE": tls_files[0],
                           "SSL_CERT_FILE": "/nonexistent/bundle.pem"})
    assert chat(shim.port, {"messages": []}).status == 200
