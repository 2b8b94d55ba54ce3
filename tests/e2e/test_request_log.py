"""The request log: one whole line per request, in the documented key=value
form, never the key or body text, and no input that can forge a line."""
import json
import os
import re
import socket
import stat
import threading

import pytest

import mock_upstream as mu
from conftest import ON_WINDOWS, chat, chat_body, connect, exchange, http_request, read_all, run_shim, shim_path, wait_for

LINE = re.compile(r'time=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z method=(\S+) path=("(?:[^"\\]|\\.)*"|-) route=(\S+) '
                  r'dialect=(\S+) mode=(\S+) status=(\S+) upstream_status=(\S+) upstream=(\S+) attempts=(\S+) '
                  r'bytes_in=(\d+) bytes_out=(\d+) '
                  r'first_byte_ms=(\S+) total_ms=(\d+) prompt_tokens=(\d+|-) completion_tokens=(\d+|-) '
                  r'error=("(?:[^"\\]|\\.)*")\Z')
KEY = "sk-never-logged"
SECRET_TEXT = "body-text-never-logged"


@pytest.fixture
def log_path(tmp_path):
    return str(tmp_path / "requests.log")


def log_lines(path, count):
    assert wait_for(lambda: os.path.exists(path) and open(path, "rb").read().count(b"\n") >= count, timeout=15)
    data = open(path, "rb").read()
    assert data.endswith(b"\n")
    return [LINE.match(line.decode("ascii")) for line in data.split(b"\n")[:-1]]


def test_concurrent_requests_each_get_one_whole_line(mock, start_shim, log_path):
    mock.reset()
    answer = {"choices": [{"message": {"role": "assistant", "content": SECRET_TEXT}}]}
    mock.behaviour = lambda conn, req: (mu.event_stream([b"data: %s\n\n" % SECRET_TEXT.encode()])
                                        if req.json().get("stream") else mu.json_reply(200, answer))(conn, req)
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": KEY, "ZELK_SHIM_LOG": shim_path(log_path)})
    sent, got = {}, {}

    def one(i):
        path = f"/v1/chat/completions?n={i}" if i % 4 else f"/health?n={i}"
        body = json.dumps({"stream": i % 2 == 1, "messages": [{"role": "user", "content": SECRET_TEXT}]}).encode()
        sent[i] = http_request("POST" if i % 4 else "GET", path, body if i % 4 else b"",
                               {"Authorization": f"Bearer {KEY}"})
        got[i] = exchange(shim.port, sent[i], timeout=30)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(40)
    lines = log_lines(log_path, 20)
    assert len(lines) == 20 and all(lines), open(log_path).read()
    text = open(log_path).read()
    assert KEY not in text and SECRET_TEXT not in text and "Bearer" not in text
    for m in lines:
        i = int(re.search(r"n=(\d+)", m.group(2)).group(1))
        status = int(got[i].split(b" ", 2)[1])
        assert (int(m.group(6)), int(m.group(10)), int(m.group(11))) == (status, len(sent[i]), len(got[i])), m.group(0)
        assert (m.group(14), m.group(15)) == ("-", "-"), m.group(0)  # the mock's answers report no usage
        if i % 4:
            assert (m.group(3), m.group(4), m.group(5), m.group(7), m.group(8), m.group(9)) == (
                "chat", "chat-completions", "stream" if i % 2 else "buffered", "200", "primary", "1")
            assert m.group(12) != "-" and int(m.group(12)) <= int(m.group(13))
        else:
            assert (m.group(3), m.group(5), m.group(7), m.group(8), m.group(9), m.group(12)) == (
                "health", "-", "-", "-", "-", "-")
    if not ON_WINDOWS:
        assert stat.S_IMODE(os.stat(log_path).st_mode) == 0o600


def test_control_bytes_and_quotes_cannot_start_a_line(relay_with_log):
    shim, path = relay_with_log
    forged = b'/v1/models\r\x0btime=forged" route=x\x1b[2J'
    for request_line in (b"GET " + forged + b" HTTP/1.1", b'GET /a\x00"b HTTP/1.1', b"\x01\x02 / HTTP/1.1"):
        with connect(shim.port) as s:
            s.sendall(request_line + b"\r\nHost: 127.0.0.1\r\n\r\n")
            read_all(s)
    lines = log_lines(path, 3)
    assert len(lines) == 3 and all(lines), open(path, "rb").read()
    assert all(m.group(6) != "-" for m in lines)  # each got its reply, refused or not
    paths = sorted(m.group(2) for m in lines)  # lines come in the order the requests ended
    assert paths[1] == '"/a\\x00\\"b"' and paths[2] == '"/v1/models\\x0D\\x0Btime=forged\\" route=x\\x1B[2J"', paths


@pytest.fixture
def relay_with_log(mock, start_shim, log_path):
    mock.reset()
    return start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_LOG": shim_path(log_path)}), log_path


def test_usage_the_upstream_reports_is_logged(relay_with_log, mock):
    shim, path = relay_with_log
    usage = {"prompt_tokens": 12, "completion_tokens": 5, "total_tokens": 17}
    mock.behaviour = mu.json_reply(200, {**mu.CHAT_ANSWER, "usage": usage})
    chat(shim.port)
    mock.behaviour = mu.chat_stream([{"content": "hi"}], usage=usage)
    chat(shim.port, chat_body(stream=True, stream_options={"include_usage": True}))
    lines = log_lines(path, 2)
    assert [(m.group(5), m.group(14), m.group(15)) for m in lines] == [("buffered", "12", "5"), ("stream", "12", "5")]


def test_log_to_standard_error_and_unopenable_file(mock, start_shim):
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "k", "ZELK_SHIM_LOG": "stderr"})
    exchange(shim.port, b"GET /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    line = b""
    fd = shim.proc.stderr.fileno()
    while not line.endswith(b"\n"):
        chunk = os.read(fd, 4096)
        assert chunk
        line += chunk
    m = LINE.match(line.decode().strip("\n"))
    assert m and (m.group(1), m.group(2), m.group(3), m.group(6)) == ("GET", '"/nowhere"', "not_found", "404"), line

    missing = "/nonexistent-zelk-dir/requests.log"
    code, err = run_shim(["-p", "0"], {"ZELK_SHIM_LOG": shim_path(missing)})
    assert code == 2 and "ZELK_SHIM_LOG" in err and shim_path(missing) in err and err.count("\n") == 1, err
