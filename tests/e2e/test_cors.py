"""Who gets in, over raw HTTP: POST-only chat, JSON-only cross-origin chat,
"Origin: null", preflights and the lines every reply to an allowed origin
carries, and the origins setting."""
import json
import os
import shutil
import subprocess
import tempfile

import pytest

from conftest import ON_WINDOWS, Reply, error_text, exchange, http_request, run_shim, shim_command, shim_env

CHAT = json.dumps({"model": "m", "messages": [{"role": "user", "content": "hi"}]}).encode()
LOOPBACK_PAGE = "http://localhost:5173"
HEALTH = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\nConnection: close\r\n\r\n"
          b"{\"status\":\"ok\",\"zelk\":true}\n")


@pytest.fixture
def shim(mock, start_shim):
    mock.reset()
    return start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key",
                           "ZELK_SHIM_ORIGINS": "chrome-extension://*, https://app.example"})


def ask(shim, method, path, body=b"", **headers):
    return Reply(exchange(shim.port, http_request(method, path, body, {k.replace("_", "-"): v
                                                                       for k, v in headers.items()})))


def cors_headers(reply):
    return {k: v for k, v in reply.headers.items() if k.startswith("access-control-")}


def test_chat_paths_answer_post_only(mock, shim):
    for method, path in [("GET", "/api/chat"), ("HEAD", "/v1/chat/completions"), ("PUT", "/v1/chat/completions"),
                         ("OPTIONS", "/api/chat"), ("post", "/v1/chat/completions"), ("DELETE", "/api/chat")]:
        raw = exchange(shim.port, http_request(method, path, CHAT))
        r = Reply(raw)
        assert r.status_line == "HTTP/1.1 405 Method Not Allowed", method
        assert r.head.startswith(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/json\r\n"
                                 b"Allow: POST\r\nContent-Length: "), raw
        assert "POST" in error_text(r) if method != "HEAD" else r.body_bytes == b"", method
    assert ask(shim, "POST", "/health").status == 404  # local routes as before
    assert mock.requests == []


def test_cross_origin_chat_must_declare_json(mock, shim):
    for origin, ctype in [(LOOPBACK_PAGE, "text/plain"), (LOOPBACK_PAGE, None), ("chrome-extension://abc",
                          "application/x-www-form-urlencoded"), (LOOPBACK_PAGE, "application/json-seq")]:
        headers = {"Origin": origin, **({"Content-Type": ctype} if ctype else {})}
        r = ask(shim, "POST", "/v1/chat/completions", CHAT, **headers)
        assert r.status == 415, (origin, ctype)
        assert "application/json" in error_text(r)
    assert mock.requests == []
    # The JSON a page may send after its preflight, and any request without
    # an Origin: relayed.
    ok = ask(shim, "POST", "/v1/chat/completions", CHAT, Origin=LOOPBACK_PAGE,
             Content_Type="application/json; charset=utf-8")
    assert ok.status == 200 and ok.headers["access-control-allow-origin"] == LOOPBACK_PAGE
    assert ask(shim, "POST", "/v1/chat/completions", CHAT, Content_Type="text/plain").status == 200
    assert len(mock.requests) == 2


def test_null_origin_is_refused_on_chat_unless_listed(mock, shim, start_shim):
    r = ask(shim, "POST", "/api/chat", CHAT, Origin="null", Content_Type="application/json")
    assert r.status == 403 and "null" in error_text(r)
    assert cors_headers(r) == {}
    assert ask(shim, "OPTIONS", "/api/chat", Origin="null", Access_Control_Request_Method="POST").status == 403
    # The health probe and the lists still answer it, unchanged.
    assert exchange(shim.port, http_request("GET", "/health", headers={"Origin": "null"})) == HEALTH
    assert ask(shim, "GET", "/v1/models", Origin="null").status == 200
    assert mock.requests == []
    listed = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "k", "ZELK_SHIM_ORIGINS": "null"})
    r = ask(listed, "POST", "/api/chat", CHAT, Origin="null", Content_Type="application/json")
    assert r.status == 200 and r.headers["access-control-allow-origin"] == "null"
    assert len(mock.requests) == 1


def test_preflights_exact_headers_and_refusals(mock, shim, start_shim):
    raw = exchange(shim.port, http_request("OPTIONS", "/v1/chat/completions", headers={
        "Origin": LOOPBACK_PAGE, "Access-Control-Request-Method": "POST",
        "Access-Control-Request-Headers": "authorization,content-type,cookie,x-stainless-os",
        "Access-Control-Request-Private-Network": "true"}))
    assert raw == (b"HTTP/1.1 204 No Content\r\nConnection: close\r\n"
                   b"Access-Control-Allow-Origin: http://localhost:5173\r\n"
                   b"Access-Control-Allow-Methods: POST\r\n"
                   b"Access-Control-Allow-Headers: authorization, content-type, x-stainless-os\r\n"
                   b"Access-Control-Max-Age: 600\r\n"
                   b"Access-Control-Allow-Private-Network: true\r\n"
                   b"Vary: Origin\r\n\r\n")
    # Every path served, under the method it is served with; elsewhere a 404.
    full = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_LOCAL_DIALECT": "full",
                           "ZELK_SHIM_ORIGINS": "chrome-extension://*"})
    for s, path, method in [(shim, "/api/tags", "GET"), (shim, "/health", "GET"), (full, "/api/show", "POST"),
                            (full, "/api/ps", "GET"), (full, "/api/version", "GET"), (full, "/api/generate", "POST"),
                            (shim, "/api/show", None), (full, "/api/pull", None)]:
        r = ask(s, "OPTIONS", path, Origin="chrome-extension://abcdef", Access_Control_Request_Method=method or "GET")
        assert r.status == (204 if method else 404) and (r.body_bytes == b"" or not method), path
        assert cors_headers(r) == ({"access-control-allow-origin": "chrome-extension://abcdef",
                                    "access-control-allow-methods": method, "access-control-max-age": "600"}
                                   if method else {"access-control-allow-origin": "chrome-extension://abcdef"}), path
    assert ask(shim, "OPTIONS", "/v1/models", Origin="https://app.example").headers["vary"] == "Origin"
    # A foreign page, an unlisted extension, a rebinding Host: refused, told nothing.
    for origin, host in [("https://evil.example", "127.0.0.1"), ("moz-extension://abc", "127.0.0.1"),
                         (LOOPBACK_PAGE, "evil.example")]:
        raw = exchange(shim.port, http_request("OPTIONS", "/v1/chat/completions", headers={
            "Origin": origin, "Access-Control-Request-Method": "POST"}).replace(b"Host: 127.0.0.1",
                                                                                f"Host: {host}".encode()))
        assert Reply(raw).status == 403 and b"access-control-" not in raw.lower(), (origin, host)
    assert mock.requests == []


def test_every_reply_to_an_allowed_origin_carries_the_cors_lines(mock, shim):
    lines = b"Access-Control-Allow-Origin: https://app.example\r\nVary: Origin\r\n\r\n"
    for method, path, headers in [("GET", "/health", {}), ("GET", "/api/tags", {}), ("GET", "/nothing", {}),
                                  ("POST", "/v1/chat/completions", {"Content-Type": "application/json"}),
                                  ("PUT", "/api/chat", {}), ("POST", "/api/chat", {"Content-Type": "text/plain"})]:
        plain = exchange(shim.port, http_request(method, path, CHAT, headers))
        told = exchange(shim.port, http_request(method, path, CHAT, {"Origin": "https://app.example", **headers}))
        head, _, body = plain.partition(b"\r\n\r\n")
        if path == "/api/tags":  # the list carries the time of the request
            body = told.partition(b"\r\n\r\n")[2]
        if method == "POST" and headers["Content-Type"] == "text/plain":
            assert Reply(told).status == 415  # only the cross-origin request is refused
        else:
            assert told == head + b"\r\n" + lines + body, (method, path)
    # The event stream's head too.
    stream = json.dumps({"messages": [], "stream": True}).encode()
    r = ask(shim, "POST", "/v1/chat/completions", stream, Origin="https://app.example",
            Content_Type="application/json")
    assert r.headers["transfer-encoding"] == "chunked" and r.head.endswith(lines)


@pytest.mark.parametrize("bad", ["https://app.example/", "*.example", "chrome-extension://", "nul"])
def test_bad_origins_entry_stops_startup(bad):
    code, err = run_shim(["-p", "0"], {"ZELK_SHIM_ORIGINS": f"http://ok.test, {bad}"})
    assert code == 2
    assert bad in err and "origins" in err and "listening" not in err


def test_origins_setting_in_help_and_ini(mock):
    out = subprocess.run(shim_command() + ["--help"], capture_output=True, env=shim_env(), timeout=60)
    assert b"ZELK_SHIM_ORIGINS" in out.stdout and b"origins" in out.stdout
    if ON_WINDOWS:
        return  # the Windows suite checks the ini beside zelk-shim.exe
    d = tempfile.mkdtemp(prefix="zelk-ini-")
    try:
        exe = os.path.join(d, "zelk-shim")
        shutil.copy(shim_command()[-1], exe)
        with open(os.path.join(d, "zelk_shim.ini"), "w") as f:
            f.write(f"[shim]\nurl = {mock.url()}\norigins = https://ini.example\n")
        for env, allowed in [({}, "https://ini.example"), ({"ZELK_SHIM_ORIGINS": "https://env.example"},
                                                           "https://env.example")]:
            s = run_shim(["-p", "0"], env, cmd=[exe])
            try:
                for origin in ("https://ini.example", "https://env.example"):
                    r = ask(s, "GET", "/health", Origin=origin)
                    assert (r.status == 200) == (origin == allowed), (env, origin)
            finally:
                s.stop()
        with open(os.path.join(d, "zelk_shim.ini"), "w") as f:
            f.write("[shim]\norigins = https://ok.example, ftp:/x\n")
        code, err = run_shim(["-p", "0"], cmd=[exe])
        assert code == 2 and "ftp:/x" in err
    finally:
        shutil.rmtree(d, ignore_errors=True)
