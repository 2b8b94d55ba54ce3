"""Who gets in, seen from a real browser.

The system chromium runs headless as the suite's own process; node with
puppeteer-core (tests/browser, installed by tests/browser/install.sh)
evaluates probes in its pages. Pages come from loopback servers started
here; foreign sites are host names that chromium's resolver maps to
127.0.0.1, the https one with the suite's test certificate.

On CI a missing browser or driver fails these tests; elsewhere they skip.
"""
import http.server
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import tempfile
import threading
import time

import pytest

import mock_upstream as mu
from conftest import ROOT, chat_body, missing_peer, wait_for

DRIVER = ROOT / "tests" / "browser"
START_TIMEOUT = 30
RUN_TIMEOUT = 120
PAGE = b"<!doctype html><meta charset=utf-8><title>page</title><body></body>"


def missing(what):
    missing_peer(what, "run scripts/test.sh e2e as root to install it")


class PageServer:
    """Serves one blank page at every path, over http or https."""

    def __init__(self, tls_files=None):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(PAGE)))
                self.end_headers()
                self.wfile.write(PAGE)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls_files:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls_files)
            self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture(scope="module")
def pages(tls_files):
    plain, secure = PageServer(), PageServer(tls_files)
    yield plain, secure
    plain.close()
    secure.close()


@pytest.fixture(scope="module")
def browser():
    exe = shutil.which("chromium")
    if not exe:
        missing("chromium")
    node = shutil.which("node")
    if not node or not (DRIVER / "node_modules" / "puppeteer-core").is_dir():
        missing("node or tests/browser/node_modules")
    profile = tempfile.mkdtemp(prefix="zelk-chromium-")
    log_path = os.path.join(profile, "stderr.log")
    with open(log_path, "wb") as log:
        # Every name resolves to nothing except the test sites, which are
        # 127.0.0.1: nothing leaves the machine.
        proc = subprocess.Popen(
            [exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--no-proxy-server", "--ignore-certificate-errors", f"--user-data-dir={profile}",
             "--host-resolver-rules=MAP *.test 127.0.0.1, MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1",
             "--remote-debugging-port=0", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
    try:
        endpoint = None
        deadline = time.monotonic() + START_TIMEOUT
        while endpoint is None and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.1)
            with open(log_path, "rb") as f:
                m = re.search(rb"DevTools listening on (ws://\S+)", f.read())
            endpoint = m and m.group(1).decode()
        assert endpoint, f"chromium did not start: {open(log_path, 'rb').read()[-2000:]!r}"
        yield node, endpoint
    finally:
        # Its renderers share its process group.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(timeout=10)
        shutil.rmtree(profile, ignore_errors=True)


def run_jobs(browser, *jobs):
    node, endpoint = browser
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(BROWSER_WS=endpoint, JOBS=json.dumps(jobs))
    r = subprocess.run([node, "drive.mjs"], cwd=DRIVER, env=env, capture_output=True, text=True,
                       timeout=RUN_TIMEOUT)
    assert r.returncode == 0, r.stdout + r.stderr
    lines = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(lines) == len(jobs), r.stdout + r.stderr
    for line in lines:
        assert "error" not in line, line["error"]
    return [line["result"] for line in lines]


def fetch_chat(content, stream=False, **headers):
    """The fetch() options of a chat request, for a page to send."""
    return {"method": "POST", "headers": {"Content-Type": "application/json", **headers},
            "body": chat_body(stream, content).decode()}


WORDS = ["Hél", "lo", ", ", "wörld"]
REFUSAL = {"error": {"message": "Incorrect API key provided", "type": "invalid_request_error"}}


def test_loopback_page_streams_a_chat_reads_the_list_and_an_upstream_401(browser, pages, mock, start_shim):
    events = mu.sse_deltas(WORDS)
    stream, refusal = mu.event_stream(events, delay=0.01), mu.json_reply(401, REFUSAL, reason="Unauthorized")
    mock.reset()
    mock.behaviour = lambda conn, req: (refusal if req.json()["messages"][-1]["content"] == "401" else stream)(conn, req)
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key"})
    base = f"http://127.0.0.1:{shim.port}"
    page = f"http://localhost:{pages[0].port}/ui"
    # An SDK's headers make the preflight ask for more than content-type.
    streamed, models, refused = run_jobs(
        browser,
        {"url": page, "probe": "request", "args": [base + "/v1/chat/completions",
                                                   fetch_chat("hi", True, Authorization="Bearer x",
                                                              **{"X-Stainless-Os": "Linux"})]},
        {"url": page, "probe": "request", "args": [base + "/api/tags", {}]},
        {"url": page, "probe": "request", "args": [base + "/api/chat", fetch_chat("401")]})
    assert (streamed["status"], streamed["type"]) == (200, "text/event-stream")
    assert streamed["text"] == b"".join(events).decode()
    assert models["status"] == 200 and json.loads(models["text"])["models"][0]["name"] == "auto:latest"
    assert refused["status"] == 401 and json.loads(refused["text"]) == {"error": REFUSAL["error"]["message"]}
    assert len(mock.requests) == 2


def test_foreign_origin_works_only_when_listed(browser, pages, mock, start_shim):
    mock.reset()
    page = f"http://tool.test:{pages[0].port}/"
    env = {"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key"}
    listed = start_shim(env={**env, "ZELK_SHIM_ORIGINS": f"chrome-extension://*, http://tool.test:{pages[0].port}"})
    unlisted = start_shim(env=env)
    allowed, refused = run_jobs(
        browser,
        {"url": page, "probe": "request", "args": [f"http://127.0.0.1:{listed.port}/v1/chat/completions", fetch_chat("hi")]},
        {"url": page, "probe": "request", "args": [f"http://127.0.0.1:{unlisted.port}/v1/chat/completions", fetch_chat("hi")]})
    assert allowed["status"] == 200 and json.loads(allowed["text"]) == mu.CHAT_ANSWER
    assert refused["error"].startswith("TypeError")
    assert len(mock.requests) == 1


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_attacker_page_never_reaches_the_upstream(browser, pages, mock, start_shim, scheme):
    page = f"{scheme}://evil.test:{pages[scheme == 'https'].port}/"
    # Aimed at the mock itself, the same page gets every request through:
    # the attacks really are sent.
    mock.reset()
    run_jobs(browser, {"url": page, "probe": "attack", "args": [f"http://127.0.0.1:{mock.port}"]})
    # Five simple requests, and the JSON fetch's preflight (which the mock
    # counts apart: OPTIONS is how the shim warms its connection up).
    assert wait_for(lambda: len(mock.requests) >= 5 and mock.warm_ups >= 1), [r.request_line for r in mock.requests]
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key"})
    [outcomes] = run_jobs(browser, {"url": page, "probe": "attack", "args": [f"http://127.0.0.1:{shim.port}"]})
    assert outcomes[-1].startswith("TypeError"), outcomes  # the JSON fetch's preflight was refused
    time.sleep(0.5)  # the beacon is the one request whose answer the page cannot wait for
    assert [r.request_line for r in mock.requests] == []


def test_rebinding_page_never_reaches_the_upstream(browser, mock, start_shim):
    """A site whose name now resolves to 127.0.0.1: its pages are same-origin with the shim."""
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key"})
    page = f"http://rebind.test:{shim.port}/"
    models, chatted = run_jobs(browser, {"url": page, "probe": "request", "args": ["/v1/models", {}]},
                               {"url": page, "probe": "request", "args": ["/v1/chat/completions", fetch_chat("hi")]})
    assert (models["status"], chatted["status"]) == (403, 403)
    assert mock.requests == []
