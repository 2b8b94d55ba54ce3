"""The relay bench: the same local mock upstream reached three ways, side by side
in one run: straight (direct), through zelk-shim, and through nginx as a plain
proxy with a keep-alive pool (the floor a proxy that does not rewrite reaches).

Started by bench/run.sh, which builds everything and passes the paths in.
Prints a table and writes it, with the machine and date, to bench/RESULTS.md.
A missed target is reported, not failed; a path that does not work at all
ends the run with a non-zero status.
"""
import argparse
import datetime
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from shim_process import Shim, free_port, run_shim  # noqa: E402 (the suite's own start-up helpers)

HOST = "127.0.0.1"
# A key of the usual length and alphabet: every shim masks it in all the
# upstream sends, so every figure below includes the mask's cost.
KEY = "sk-proj-Qx7vT2mN9pL4kR8wZ3yB6cF1hJ5dG0sAeU_iO2nM7qW4tY9rE3x"
CHAT = "/v1/chat/completions"
WRK_SECONDS = 1   # per round; rounds of the three paths take turns
WRK_ROUNDS = 5

BUFFERED_REPLY = (
    '{"id":"chatcmpl-bench","object":"chat.completion","created":0,"model":"m",'
    '"choices":[{"index":0,"message":{"role":"assistant","content":"Hello there."},'
    '"finish_reason":"stop"}],"usage":{"prompt_tokens":9,"completion_tokens":3,"total_tokens":12}}'
)


class Broken(Exception):
    """Something does not work at all: the run fails."""


def fail(msg):
    raise Broken(msg)


def median(xs):
    return statistics.median(xs) if xs else float("nan")


# ---------------------------------------------------------------- processes

class Procs:
    def __init__(self, tmp):
        self.tmp = tmp
        self.live = []

    def start(self, name, cmd, env=None, stdout=None):
        log = open(os.path.join(self.tmp, name + ".log"), "wb")
        p = subprocess.Popen(cmd, env=env, stdout=stdout if stdout is not None else log, stderr=log,
                             stdin=subprocess.DEVNULL)
        self.adopt(name, p)
        return p

    def adopt(self, name, p):
        self.live.append((name, p))
        with open(os.path.join(self.tmp, "pids"), "a") as f:
            f.write("%d\n" % p.pid)

    def stop_all(self):
        for _, p in reversed(self.live):
            if p.poll() is None:
                p.terminate()
        deadline = time.time() + 5
        for _, p in self.live:
            try:
                p.wait(max(0.1, deadline - time.time()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.live = []

    def check_alive(self):
        for name, p in self.live:
            if p.poll() is not None:
                fail("%s exited early (status %s); see %s/%s.log" % (name, p.returncode, self.tmp, name))


def wait_port(port, what, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        try:
            socket.create_connection((HOST, port), 0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    fail("%s does not accept on port %d" % (what, port))


def read_port_line(p, what):
    ready, _, _ = select.select([p.stdout], [], [], 10)
    line = p.stdout.readline() if ready else b""
    if not line.strip().isdigit():
        fail("%s did not report its port" % what)
    return int(line)


def start_shim(procs, args, name, url, extra_env=None):
    """Starts one shim as the end-to-end suite does, on a port of its choosing."""
    shim = run_shim(["-p", "0"], {"ZELK_SHIM_URL": url, "ZELK_SHIM_KEY": KEY, **(extra_env or {})}, cmd=[args.shim])
    if not isinstance(shim, Shim):
        fail("%s did not start (status %s): %s" % (name, shim[0], shim[1].strip()))
    procs.adopt(name, shim.proc)
    # Its standard error goes on to the run's log, so a full pipe never stalls it.
    log = open(os.path.join(args.tmp, name + ".log"), "wb")
    log.write(shim.startup_line.encode() + b"\n")
    threading.Thread(target=shutil.copyfileobj, args=(shim.proc.stderr, log), daemon=True).start()
    wait_port(shim.port, name)
    return shim.proc, shim.port


def nginx_common(tmp, tag):
    return """daemon off;
master_process on;
worker_processes auto;
user root;
pid {tmp}/{tag}.pid;
error_log {tmp}/{tag}-error.log warn;
events {{ worker_connections 4096; }}
""".format(tmp=tmp, tag=tag)


def nginx_http_common(tmp, tag):
    return """  access_log off;
  client_body_temp_path {tmp}/{tag}-body;
  proxy_temp_path {tmp}/{tag}-proxy;
  fastcgi_temp_path {tmp}/{tag}-fastcgi;
  uwsgi_temp_path {tmp}/{tag}-uwsgi;
  scgi_temp_path {tmp}/{tag}-scgi;
  client_max_body_size 64m;
  keepalive_requests 100000;
""".format(tmp=tmp, tag=tag)


def start_nginx(procs, args, tag, conf_text, ports):
    conf = os.path.join(args.tmp, tag + ".conf")
    with open(conf, "w") as f:
        f.write(conf_text)
    test = subprocess.run([args.nginx, "-t", "-p", args.tmp, "-c", conf], capture_output=True, text=True)
    if test.returncode != 0:
        fail("nginx config %s refused:\n%s" % (conf, test.stderr))
    p = procs.start(tag, [args.nginx, "-p", args.tmp, "-c", conf])
    for port in ports:
        wait_port(port, tag)
    return p


def rss_kib(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmRSS", "VmHWM", "Threads"):
                out[k] = int(v.split()[0])
    return out


def minor_faults(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[7])


def nginx_workers(master_pid):
    try:
        with open("/proc/%d/task/%d/children" % (master_pid, master_pid)) as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def nginx_rss_kib(master_pid):
    return sum(rss_kib(w)["VmRSS"] for w in nginx_workers(master_pid))


def listen_overflows():
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    for i in range(0, len(lines) - 1, 2):
        if lines[i].startswith("TcpExt:"):
            names, values = lines[i].split()[1:], lines[i + 1].split()[1:]
            return int(dict(zip(names, values)).get("ListenOverflows", 0))
    return 0


# ---------------------------------------------------------------- requests

def chat_body(stream, mock=None, content="Say hello."):
    body = {"model": "gpt-bench", "messages": [{"role": "user", "content": content}], "stream": stream}
    if mock:
        body["mock"] = mock
    return json.dumps(body, separators=(",", ":")).encode()


def local_body(mock):
    """A local-model chat body; the mock's parameters in the text, which /api/chat keeps."""
    return chat_body(True, content="mock:" + mock)


def request_bytes(path, body):
    head = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "Authorization: Bearer %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (path, KEY, len(body)))
    return head.encode() + body


def write_request(args, name, path, body):
    fn = os.path.join(args.tmp, "req-" + name)
    with open(fn, "wb") as f:
        f.write(request_bytes(path, body))
    return fn


def hclient(args, *params, timeout=120):
    r = subprocess.run([args.hclient] + [str(p) for p in params], capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        fail("hclient %s failed: %s" % (" ".join(map(str, params)), r.stderr.strip()))
    return r.stdout.split("\n")


def ttfb_runs(args, port, reqfile, count, want_event):
    rows = []
    for line in hclient(args, "ttfb", port, reqfile, count):
        if not line.strip():
            continue
        first, event, whole, status = line.split()
        if int(status) != 200:
            fail("port %d answered status %s" % (port, status))
        if want_event and float(event) < 0:
            fail("port %d answered without an event" % port)
        rows.append((float(first), float(event), float(whole)))
    return rows


# ---------------------------------------------------------------- wrk

def parse_wrk(text):
    def to_us(v, unit):
        return float(v) * {"us": 1, "ms": 1e3, "s": 1e6}[unit]
    m = re.search(r"Requests/sec:\s+([\d.]+)", text)
    rps = float(m.group(1)) if m else 0.0
    m = re.search(r"^\s+50%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
    p50 = to_us(*m.groups()) if m else float("nan")
    m = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
    p99 = to_us(*m.groups()) if m else float("nan")
    m = re.search(r"(\d+) requests in", text)
    total = int(m.group(1)) if m else 0
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    non2xx = int(m.group(1)) if m else 0
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    errors = sum(int(x) for x in m.groups()) if m else 0
    return {"rps": rps, "p50": p50, "p99": p99, "total": total, "non2xx": non2xx, "errors": errors}


def wrk(args, url, clients, seconds, script=None):
    threads = 1 if clients == 1 else 2
    cmd = [args.wrk, "-t%d" % threads, "-c%d" % clients, "-d%ds" % seconds, "--latency",
           "-H", "Connection: close"]
    if script:
        cmd += ["-s", script]
    before = listen_overflows()
    r = subprocess.run(cmd + [url], capture_output=True, text=True, timeout=seconds + 30)
    res = parse_wrk(r.stdout)
    res["overflows"] = listen_overflows() - before
    if r.returncode != 0 or res["rps"] <= 0 or res["total"] == 0:
        fail("wrk against %s did not run:\n%s%s" % (url, r.stdout, r.stderr))
    if res["non2xx"] > res["total"] / 2:
        fail("wrk against %s: %d of %d answers were not 2xx" % (url, res["non2xx"], res["total"]))
    return res


# ---------------------------------------------------------------- the run

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--shim", required=True)
    ap.add_argument("--hclient", required=True)
    ap.add_argument("--mock", required=True)
    ap.add_argument("--nginx", default="nginx")
    ap.add_argument("--wrk", default="wrk")
    ap.add_argument("--tmp", required=True)
    ap.add_argument("--results", required=True)
    args = ap.parse_args()

    procs = Procs(args.tmp)

    def on_signal(signum, _frame):
        procs.stop_all()
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        results = run(args, procs)
    except Broken as e:
        print("bench: FAILED: %s" % e, file=sys.stderr)
        return 1
    finally:
        procs.stop_all()
    report(args, results)
    return 0


def run(args, procs):
    R = {"load": os.getloadavg()[0]}
    t_start = time.time()
    tmp = args.tmp

    # --- the mock upstreams
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    r = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        fail("openssl could not make the test certificate: " + r.stderr)

    mock = procs.start("mock-stream", [args.mock, "0"], stdout=subprocess.PIPE)
    stream_port = read_port_line(mock, "mock-stream")
    wait_port(stream_port, "mock-stream")
    # The same mock serving each connection on a thread started for it: what
    # that model costs on this machine, shown beside the pooled mock.
    percon = procs.start("mock-percon", [args.mock, "0", "percon"], stdout=subprocess.PIPE)
    percon_port = read_port_line(percon, "mock-percon")
    wait_port(percon_port, "mock-percon")

    buf_port, tls_port, proxy_port = free_port(), free_port(), free_port()
    start_nginx(procs, args, "nginx-mock", nginx_common(tmp, "nginx-mock") + """http {{
{common}
  server {{
    listen 127.0.0.1:{buf} backlog=4096;
    location / {{ default_type application/json; return 200 '{reply}'; }}
  }}
  server {{
    listen 127.0.0.1:{tls} ssl backlog=4096;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    keepalive_timeout 300s;
    location / {{ default_type application/json; return 200 '{reply}'; }}
  }}
}}
""".format(common=nginx_http_common(tmp, "nginx-mock"), buf=buf_port, tls=tls_port, cert=cert, key=key,
           reply=BUFFERED_REPLY), [buf_port, tls_port])

    proxy = start_nginx(procs, args, "nginx-proxy", nginx_common(tmp, "nginx-proxy") + """http {{
{common}
  upstream mock_buffered {{ server 127.0.0.1:{buf}; keepalive 128; }}
  upstream mock_stream {{ server 127.0.0.1:{stream}; keepalive 128; }}
  server {{
    listen 127.0.0.1:{proxy} backlog=4096;
    proxy_http_version 1.1;
    proxy_set_header Connection "";
    proxy_set_header Authorization "Bearer {key}";
    proxy_buffering off;
    proxy_request_buffering off;
    location = /health {{ default_type application/json; return 200 '{{"status":"ok","zelk":true}}\\n'; }}
    location /stream {{ proxy_pass http://mock_stream; }}
    location /short {{ proxy_pass http://mock_stream; }}
    location / {{ proxy_pass http://mock_buffered; }}
  }}
}}
""".format(common=nginx_http_common(tmp, "nginx-proxy"), buf=buf_port, stream=stream_port, proxy=proxy_port,
           key=KEY), [proxy_port])

    # --- the shims: one per upstream URL, plus fresh ones for the memory figures
    up_stream = "http://127.0.0.1:%d/stream" % stream_port
    _, shim_buf = start_shim(procs, args, "shim-buffered", "http://127.0.0.1:%d%s" % (buf_port, CHAT))
    _, shim_stream = start_shim(procs, args, "shim-stream", up_stream)
    shim_short_p, shim_short = start_shim(procs, args, "shim-short", "http://127.0.0.1:%d/short" % stream_port)
    shim_mem_p, shim_mem = start_shim(procs, args, "shim-mem", up_stream)
    shim_big_p, shim_big = start_shim(procs, args, "shim-big", up_stream)
    _, shim_nokey = start_shim(procs, args, "shim-nokey", up_stream, {"ZELK_SHIM_KEY": ""})
    # The local-model dialect in full: /api/chat streams converted into lines.
    full = {"ZELK_SHIM_LOCAL_DIALECT": "full"}
    _, shim_full = start_shim(procs, args, "shim-full", up_stream, full)
    shim_full_mem_p, shim_full_mem = start_shim(procs, args, "shim-full-mem", up_stream, full)
    shim_full_big_p, shim_full_big = start_shim(procs, args, "shim-full-big", up_stream, full)

    relay = procs.start("delay-relay", [sys.executable, os.path.join(os.path.dirname(__file__), "delay_relay.py"),
                                        str(tls_port), "25"], stdout=subprocess.PIPE)
    relay_port = read_port_line(relay, "delay-relay")
    _, shim_tls = start_shim(procs, args, "shim-tls", "https://127.0.0.1:%d%s" % (relay_port, CHAT),
                             {"SSL_CERT_FILE": cert})

    # (name, port, path the client asks for)
    stream_paths = [("direct", stream_port, "/stream"), ("shim", shim_stream, CHAT), ("nginx", proxy_port, "/stream")]

    # --- time to first byte / first event of a stream, 1 client
    body = chat_body(True, "n=3&delay_ms=0&size=200")
    files = {n: write_request(args, "ttfb-" + n, path, body) for n, _, path in stream_paths}
    first = {n: [] for n, _, _ in stream_paths}
    event = {n: [] for n, _, _ in stream_paths}
    for n, port, _ in stream_paths:
        ttfb_runs(args, port, files[n], 10, True)  # warm-up
    for _ in range(4):
        for n, port, _ in stream_paths:
            for f, e, _w in ttfb_runs(args, port, files[n], 50, True):
                first[n].append(f)
                event[n].append(e)
    pc = []
    ttfb_runs(args, percon_port, files["direct"], 10, True)
    for _ in range(4):
        pc += [f for f, _e, _w in ttfb_runs(args, percon_port, files["direct"], 50, True)]
    R["percon"] = median(pc)
    R["ttfb"] = {n: median(v) for n, v in first.items()}
    R["tfe"] = {n: median(v) for n, v in event.items()}
    print("bench: stream first byte done", file=sys.stderr)

    # --- the delay each event picks up on its way, events 20 ms apart
    n_events = 50

    def event_delays(paths, tag, body, *mark):
        files = {n: write_request(args, tag + n, path, body) for n, _, path in paths}
        lat = {n: [] for n, _, _ in paths}
        for _ in range(3):
            for n, port, _ in paths:
                got = [float(x) for x in hclient(args, "events", port, files[n], *mark) if x.strip()]
                if len(got) != n_events:
                    fail("%s: %d of %d events arrived" % (n, len(got), n_events))
                lat[n] += got
        return {n: median(v) for n, v in lat.items()}

    R["event"] = event_delays(stream_paths, "events-", chat_body(True, "n=%d&delay_ms=20&size=200" % n_events))
    # /api/chat in relay mode and in full mode: both keep only the messages,
    # so the parameters and the stamp ride in the text.
    local_paths = [("direct", stream_port, "/stream"), ("relay", shim_stream, "/api/chat"),
                   ("full", shim_full, "/api/chat")]
    R["local_event"] = event_delays(local_paths, "local-events-",
                                    local_body("n=%d&delay_ms=20&size=200&stamp=1" % n_events), "ts=")
    print("bench: per-event delay done", file=sys.stderr)

    # --- buffered requests per second and latency (wrk, Connection: close)
    lua = os.path.join(tmp, "post.lua")
    with open(lua, "w") as f:
        f.write('wrk.method = "POST"\nwrk.body = %s\nwrk.headers["Content-Type"] = "application/json"\n'
                'wrk.headers["Authorization"] = "Bearer %s"\n' % (json.dumps(chat_body(False).decode()), KEY))
    buf_urls = [("direct", "http://127.0.0.1:%d%s" % (buf_port, CHAT)),
                ("shim", "http://127.0.0.1:%d%s" % (shim_buf, CHAT)),
                ("nginx", "http://127.0.0.1:%d%s" % (proxy_port, CHAT))]
    for _n, url in buf_urls:
        wrk(args, url, 4, 1, lua)  # warm-up
    def rounds(targets, clients, script):
        runs = {n: [] for n, _ in targets}
        for _ in range(WRK_ROUNDS):
            for n, url in targets:
                runs[n].append(wrk(args, url, clients, WRK_SECONDS, script))
        out = {}
        for n, rs in runs.items():
            out[n] = {"rps": median([r["rps"] for r in rs]), "p50": median([r["p50"] for r in rs]),
                      "p99": median([r["p99"] for r in rs])}
            for k in ("total", "non2xx", "errors", "overflows"):
                out[n][k] = sum(r[k] for r in rs)
        return out

    R["wrk"] = {}
    for c in (1, 16, 64):
        for n, res in rounds(buf_urls, c, lua).items():
            R["wrk"][(n, c)] = res
        print("bench: buffered %d clients done" % c, file=sys.stderr)
    R["health"] = rounds([("shim", "http://127.0.0.1:%d/health" % shim_buf),
                          ("nginx", "http://127.0.0.1:%d/health" % proxy_port)], 16, None)
    print("bench: health done", file=sys.stderr)
    procs.check_alive()

    # --- resident memory with 200 streams open at once
    # Long streams (an event every 100 ms) that the client leaves once it has
    # its numbers; the relay sees the caller gone at its next event.
    hold = chat_body(True, "n=100000&delay_ms=100&size=200")

    def open_streams(port, path, body=hold, mark=b"data: {", count=200):
        socks, pending = [], {}
        for _ in range(count):
            s = socket.create_connection((HOST, port), 5)
            s.sendall(request_bytes(path, body))
            socks.append(s)
            pending[s] = b""
        end = time.time() + 20
        while pending and time.time() < end:
            ready, _, _ = select.select(list(pending), [], [], 1)
            for s in ready:
                data = s.recv(65536)
                if not data:
                    fail("a held stream on port %d closed early" % port)
                pending[s] += data
                if mark in pending[s]:
                    del pending[s]
        if pending:
            fail("%d of %d streams on port %d never got an event" % (len(pending), count, port))
        return socks

    def close_all(socks):
        for s in socks:
            s.close()

    def held_memory(pid, port, *stream):
        close_all(open_streams(port, *stream, count=1))  # warm-up: the HTTP client's one-time setup is base
        time.sleep(0.5)
        base = rss_kib(pid)
        socks = open_streams(port, *stream)
        time.sleep(0.3)
        held = rss_kib(pid)
        close_all(socks)
        return {"base": base["VmRSS"], "held": held["VmRSS"], "hwm": held["VmHWM"], "threads": held["Threads"],
                "per": (held["VmRSS"] - base["VmRSS"]) / 200.0}

    R["mem"] = held_memory(shim_mem_p.pid, shim_mem, CHAT)
    ng_base = nginx_rss_kib(proxy.pid)
    socks = open_streams(proxy_port, "/stream")
    time.sleep(0.3)
    ng_held = nginx_rss_kib(proxy.pid)
    close_all(socks)
    R["mem"].update({"ng_base": ng_base, "ng_held": ng_held, "ng_per": (ng_held - ng_base) / 200.0})
    R["full_mem"] = held_memory(shim_full_mem_p.pid, shim_full_mem, "/api/chat",
                                local_body("n=100000&delay_ms=100&size=200"), b'"done":false')
    print("bench: 200 streams done", file=sys.stderr)

    # --- one 100 MB streamed answer: resident memory before and after
    hundred = 100 * 1000 * 1000
    big = chat_body(True, "bytes=%d" % hundred)
    small = chat_body(True, "n=3&delay_ms=0&size=200")
    ttfb_runs(args, shim_big, write_request(args, "big-warm", CHAT, small), 3, True)
    time.sleep(0.2)
    before = rss_kib(shim_big_p.pid)
    R["big"] = {}
    for n, port, path in stream_paths:
        out = hclient(args, "drain", port, write_request(args, "big-" + n, path, big))[0].split()
        if int(out[0]) < hundred or out[2] != "1":
            fail("%s: the 100 MB stream came back short (%s bytes)" % (n, out[0]))
        R["big"][n] = float(out[1])
    # The mask's cost: the same stream with the key and without, taking turns.
    ttfb_runs(args, shim_nokey, write_request(args, "nokey-warm", CHAT, small), 3, True)
    turns = {"key": [], "nokey": []}
    for _ in range(3):
        for n, port in (("key", shim_big), ("nokey", shim_nokey)):
            out = hclient(args, "drain", port, write_request(args, "mask-" + n, CHAT, big))[0].split()
            if int(out[0]) < hundred or out[2] != "1":
                fail("%s: the 100 MB stream came back short (%s bytes)" % (n, out[0]))
            turns[n].append(float(out[1]))
    R["mask"] = {n: median(v) for n, v in turns.items()}
    time.sleep(0.2)
    after = rss_kib(shim_big_p.pid)
    R["big_mem"] = {"before": before["VmRSS"], "after": after["VmRSS"], "hwm": after["VmHWM"]}
    # The same through full mode: the mock sends 1% more, as each converted
    # line is a little shorter than its event.
    ttfb_runs(args, shim_full_big, write_request(args, "full-big-warm", "/api/chat",
                                                 local_body("n=3&delay_ms=0&size=200")), 3, False)
    time.sleep(0.2)
    before = rss_kib(shim_full_big_p.pid)
    out = hclient(args, "drain", shim_full_big,
                  write_request(args, "full-big", "/api/chat", local_body("bytes=%d" % (hundred * 101 // 100))))
    out = out[0].split()
    if int(out[0]) < hundred or out[2] != "1":
        fail("full mode: the 100 MB converted stream came back short (%s bytes)" % out[0])
    time.sleep(0.2)
    after = rss_kib(shim_full_big_p.pid)
    R["full_big"] = {"before": before["VmRSS"], "after": after["VmRSS"], "hwm": after["VmHWM"],
                     "seconds": float(out[1]), "bytes": int(out[0])}
    print("bench: 100 MB stream done", file=sys.stderr)

    # --- upstream kept warm: TLS upstream 25 ms away each way
    tls_body = chat_body(False)
    f_tls = write_request(args, "tls-shim", CHAT, tls_body)
    shim_t = [f for f, _e, _w in ttfb_runs(args, shim_tls, f_tls, 10, False)]
    ctx = ssl.create_default_context(cafile=cert)
    own_t = []
    raw = request_bytes(CHAT, tls_body)
    for _ in range(10):
        t0 = time.perf_counter()
        s = ctx.wrap_socket(socket.create_connection((HOST, relay_port), 10), server_hostname="127.0.0.1")
        s.sendall(raw)
        head = s.recv(65536)
        t1 = time.perf_counter()
        rest = head
        while True:
            more = s.recv(65536)
            if not more:
                break
            rest += more
        s.close()
        if not head.startswith(b"HTTP/1.1 200"):
            fail("the TLS mock through the delaying relay answered: %r" % head[:40])
        own_t.append((t1 - t0) * 1e6)
    R["warm"] = {"shim": shim_t, "own": own_t}
    print("bench: keep-warm done", file=sys.stderr)

    # --- large request bodies, buffered, answered with a short reply: the paths
    # take turns, and the shim's page faults are counted across its runs
    R["large"] = {}
    R["faults"] = {}
    time.sleep(0.3)
    R["burst_mem"] = {"base": rss_kib(shim_short_p.pid)["VmRSS"]}
    for mib in (1, 5, 20):
        filler = "a" * (mib * 1024 * 1024 - len(chat_body(False, content="")))
        body = chat_body(False, content=filler)
        paths = [("direct", stream_port, "/short"), ("shim", shim_short, CHAT), ("nginx", proxy_port, "/short")]
        files = {n: write_request(args, "large-%d-%s" % (mib, n), path, body) for n, _port, path in paths}
        runs = {n: [] for n, _p, _path in paths}
        faults, shim_runs = 0, 0
        for _ in range(3):
            for n, port, _path in paths:
                f0 = minor_faults(shim_short_p.pid)
                runs[n] += [w for _f, _e, w in ttfb_runs(args, port, files[n], 3, False)]
                if n == "shim":
                    faults += minor_faults(shim_short_p.pid) - f0
                    shim_runs += 3
        R["large"][mib] = {n: median(v) for n, v in runs.items()}
        R["faults"][mib] = faults / shim_runs
    # A burst: four 20 MiB requests at once, then the process at rest again.
    burst = [subprocess.Popen([args.hclient, "ttfb", str(shim_short), files["shim"], "2"],
                              stdout=subprocess.DEVNULL) for _ in range(4)]
    for p in burst:
        p.wait(120)
    R["burst_mem"]["peak"] = rss_kib(shim_short_p.pid)["VmHWM"]
    time.sleep(1)
    R["burst_mem"]["after"] = rss_kib(shim_short_p.pid)["VmRSS"]
    print("bench: large bodies done", file=sys.stderr)
    procs.check_alive()
    R["seconds"] = time.time() - t_start
    R["load"] = (R["load"], os.getloadavg()[0])
    return R


# ---------------------------------------------------------------- the table

def fmt(v, unit=""):
    if v is None:
        return "n/a"
    if isinstance(v, str):
        return v
    if v != v:
        return "nan"
    if abs(v) >= 1000:
        return "%.0f%s" % (v, unit)
    if abs(v) >= 100:
        return "%.0f%s" % (v, unit)
    return "%.1f%s" % (v, unit)


def ratio(a, b):
    if not isinstance(a, (int, float)) or not isinstance(b, (int, float)) or not b:
        return "-"
    return "%.2f" % (a / b)


def build_table(R):
    rows = []   # (figure, direct, shim, nginx, note)
    targets = []  # (target, met, detail)

    def row(name, d, s, n, note=""):
        rows.append((name, d, s, n, note))

    t, e, ev = R["ttfb"], R["tfe"], R["event"]
    row("stream: first byte, 1 client (us)", t["direct"], t["shim"], t["nginx"],
        "+%.0f us over direct" % (t["shim"] - t["direct"]))
    row("stream: first byte from a thread-per-connection mock (us)", R["percon"], None, None,
        "the same mock starting a thread per connection instead of a pooled one")
    row("stream: first event, 1 client (us)", e["direct"], e["shim"], e["nginx"],
        "+%.0f us over direct" % (e["shim"] - e["direct"]))
    row("stream: per-event latency, 20 ms apart (us)", ev["direct"], ev["shim"], ev["nginx"],
        "+%.0f us over direct" % (ev["shim"] - ev["direct"]))
    le = R["local_event"]
    row("/api/chat relay mode: per-event latency, 20 ms apart (us)", le["direct"], le["relay"], None,
        "+%.0f us over direct" % (le["relay"] - le["direct"]))
    row("/api/chat full mode: per-event latency, 20 ms apart (us)", le["direct"], le["full"], None,
        "+%.0f us over direct, %+.0f us over relay mode" % (le["full"] - le["direct"], le["full"] - le["relay"]))
    for c in (1, 16, 64):
        w = {n: R["wrk"][(n, c)] for n in ("direct", "shim", "nginx")}
        notes = []
        for n in ("direct", "shim", "nginx"):
            if w[n]["non2xx"] or w[n]["errors"] or w[n]["overflows"]:
                notes.append("%s: %d non-2xx, %d socket errors, %d listen overflows" %
                             (n, w[n]["non2xx"], w[n]["errors"], w[n]["overflows"]))
        row("buffered, %d client%s: req/s" % (c, "" if c == 1 else "s"),
            w["direct"]["rps"], w["shim"]["rps"], w["nginx"]["rps"], "; ".join(notes))
        row("buffered, %d client%s: median latency (us)" % (c, "" if c == 1 else "s"),
            w["direct"]["p50"], w["shim"]["p50"], w["nginx"]["p50"],
            "p99 direct/shim/nginx %s/%s/%s us" % (fmt(w["direct"]["p99"]), fmt(w["shim"]["p99"]),
                                                  fmt(w["nginx"]["p99"])))
    h = R["health"]
    row("health probe, 16 clients: req/s", None, h["shim"]["rps"], h["nginx"]["rps"],
        "nginx: its own return 200, no proxying")
    m = R["mem"]
    row("200 streams open: resident (KiB)", None, m["held"], m["ng_held"],
        "shim base %d KiB, peak (VmHWM) %d KiB, %d threads; nginx workers' sum, base %d KiB" %
        (m["base"], m["hwm"], m["threads"], m["ng_base"]))
    row("200 streams open: per stream beyond base (KiB)", None, m["per"], m["ng_per"])
    fm = R["full_mem"]
    row("full mode, 200 streams open: resident (KiB)", None, fm["held"], None,
        "shim base %d KiB, peak (VmHWM) %d KiB, %d threads" % (fm["base"], fm["hwm"], fm["threads"]))
    row("full mode, 200 streams open: per stream beyond base (KiB)", None, fm["per"], None,
        "relay mode %.1f KiB" % m["per"])
    b = R["big_mem"]
    row("100 MB stream: shim resident before -> after (KiB)", None, "%d -> %d" % (b["before"], b["after"]), None,
        "VmHWM after %d KiB" % b["hwm"])
    bg = R["big"]
    row("100 MB stream: time (s)", bg["direct"], bg["shim"], bg["nginx"],
        "shim %.0f MB/s" % (100 / bg["shim"]))
    mk = R["mask"]
    row("100 MB stream through the shim: with the key / without a key (s, median of 3)", None,
        "%.3f / %.3f" % (mk["key"], mk["nokey"]), None, "the mask adds %+.1f%%" % (100 * (mk["key"] / mk["nokey"] - 1)))
    fb = R["full_big"]
    row("full mode, 100 MB stream: shim resident before -> after (KiB)", None,
        "%d -> %d" % (fb["before"], fb["after"]), None,
        "VmHWM after %d KiB; %.1f s, %.0f MB/s of lines" % (fb["hwm"], fb["seconds"], fb["bytes"] / 1e6 / fb["seconds"]))
    wm = R["warm"]
    own1, own_rest = wm["own"][0], median(wm["own"][1:])
    shim1, shim_rest = wm["shim"][0], median(wm["shim"][1:])
    row("TLS upstream 25 ms away: first byte, request 1 (us)", own1, shim1, None,
        "direct = a client with its own TLS connection per request")
    row("TLS upstream 25 ms away: first byte, median of 2..10 (us)", own_rest, shim_rest, None)
    lg = R["large"]
    for mib in (1, 5, 20):
        row("request body %d MiB, buffered: whole exchange (us)" % mib, lg[mib]["direct"], lg[mib]["shim"],
            lg[mib]["nginx"], "shim %.0f us per MiB" % (lg[mib]["shim"] / mib))
    for mib in (1, 5, 20):
        row("request body %d MiB: shim page faults per request" % mib, None, R["faults"][mib], None,
            "minor faults of the shim process over its runs / runs")
    bm = R["burst_mem"]
    row("after 4 x 20 MiB at once: shim resident base -> after (KiB)", None,
        "%d -> %d" % (bm["base"], bm["after"]), None, "VmHWM %d KiB" % bm["peak"])

    w1 = {n: R["wrk"][(n, 1)]["p50"] for n in ("direct", "shim", "nginx")}
    for mib in (1, 5, 20):
        d, sh, n = lg[mib]["direct"], lg[mib]["shim"], lg[mib]["nginx"]
        targets.append(("large bodies: %d MiB exchange at most nginx's and at most 3x direct" % mib,
                        sh <= n and sh <= 3 * d,
                        "shim %.0f us, nginx %.0f us, direct %.0f us (%.1fx direct); %.0f page faults per request" %
                        (sh, n, d, sh / d, R["faults"][mib])))
    settle = bm["after"] - bm["base"]
    targets.append(("large bodies: resident size back within 10 MiB of its base after a burst",
                    settle <= 10 * 1024, "%+d KiB (peak %d KiB)" % (settle, bm["peak"])))
    targets.append(("buffered, 1 client: added median latency at most nginx's",
                    w1["shim"] - w1["direct"] <= w1["nginx"] - w1["direct"],
                    "shim +%.0f us, nginx +%.0f us over direct %.0f us" %
                    (w1["shim"] - w1["direct"], w1["nginx"] - w1["direct"], w1["direct"])))
    targets.append(("stream: added time to first event at most nginx's (median)",
                    e["shim"] - e["direct"] <= e["nginx"] - e["direct"],
                    "shim +%.0f us, nginx +%.0f us (first byte: shim +%.0f us)" %
                    (e["shim"] - e["direct"], e["nginx"] - e["direct"], t["shim"] - t["direct"])))
    targets.append(("stream: added delay per event at most 30 us (median)", ev["shim"] - ev["direct"] <= 30,
                    "+%.0f us (nginx +%.0f us)" % (ev["shim"] - ev["direct"], ev["nginx"] - ev["direct"])))
    for c in (16, 64):
        s, n = R["wrk"][("shim", c)]["rps"], R["wrk"][("nginx", c)]["rps"]
        targets.append(("buffered, %d clients: req/s at least nginx's" % c, s >= n,
                        "shim %.0f, nginx %.0f (%.2fx)" % (s, n, s / n)))
    targets.append(("warm first turn: request 1's first byte at most 1.2x the median of 2..10 (TLS, 25 ms away)",
                    shim1 <= 1.2 * shim_rest, "request 1 %.1f ms, median of 2..10 %.1f ms (%.2fx)" %
                    (shim1 / 1e3, shim_rest / 1e3, shim1 / shim_rest)))
    targets.append(("keep-warm: from request 2 on, first byte through the shim below a client's own connection",
                    shim_rest < own_rest and max(wm["shim"][1:]) < min(wm["own"][1:]),
                    "median %.1f ms vs %.1f ms" % (shim_rest / 1e3, own_rest / 1e3)))
    targets.append(("memory: under 100 KiB resident per open stream beyond the base", m["per"] < 100,
                    "%.1f KiB per stream" % m["per"]))
    grow = b["after"] - b["before"]
    targets.append(("memory: flat across a 100 MB stream (grows under 1 MiB)", grow < 1024,
                    "%+d KiB" % grow))
    mk = R["mask"]
    targets.append(("mask: a 100 MB stream with the key within 10% of it without a key", mk["key"] <= 1.1 * mk["nokey"],
                    "%.3f s vs %.3f s (%+.1f%%)" % (mk["key"], mk["nokey"], 100 * (mk["key"] / mk["nokey"] - 1))))
    added = {n: le[n] - le["direct"] for n in ("relay", "full")}
    targets.append(("full mode: added delay per event within 30 us of relay mode's (median, /api/chat)",
                    added["full"] - added["relay"] <= 30,
                    "full +%.0f us, relay +%.0f us over direct (%+.0f us)" %
                    (added["full"], added["relay"], added["full"] - added["relay"])))
    targets.append(("full mode: under 100 KiB resident per open stream beyond the base", fm["per"] < 100,
                    "%.1f KiB per stream (relay mode %.1f KiB)" % (fm["per"], m["per"])))
    rise = max(fb["after"], fb["hwm"]) - fb["before"]
    targets.append(("full mode: flat across a 100 MB converted stream (peak and end under 1 MiB over the start)",
                    rise < 1024, "%d -> peak %d -> %d KiB" % (fb["before"], fb["hwm"], fb["after"])))
    return rows, targets


def render(rows):
    head = ("figure", "direct", "shim", "nginx", "shim/direct", "shim/nginx")
    body = [(r[0], fmt(r[1]), fmt(r[2]), fmt(r[3]), ratio(r[2], r[1]), ratio(r[2], r[3])) for r in rows]
    widths = [max(len(x[i]) for x in [head] + body) for i in range(len(head))]
    lines = []
    for i, x in enumerate([head] + body):
        lines.append("  ".join(x[0].ljust(widths[0]) if j == 0 else x[j].rjust(widths[j]) for j in range(len(x)))
                     .rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    notes = ["  %s: %s" % (r[0], r[4]) for r in rows if r[4]]
    return "\n".join(lines), "\n".join(notes)


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d cores (nproc), CPU %s, kernel %s" % (os.cpu_count(), model, os.uname().release)


def load_text(R):
    return "1-minute load average %.1f at the start, %.1f at the end (other work shares the machine)" % R["load"]


LEGEND = """## Legend

Targets (each path's figure in its column):
- direct: the client straight to the mock upstream.
- shim: the client through zelk-shim, which rewrites the body and calls the mock over libcurl with warm connections.
- nginx: the client through nginx as a plain proxy (proxy_pass to the mock, proxy_buffering off, an upstream
  keep-alive pool, HTTP/1.1 upstream, the Authorization header set; no body rewriting): the floor of a proxy.

Mock upstreams: buffered answers come from nginx's own `return 200` with a fixed chat-completions JSON (a
separate nginx instance from the proxy); streams and short replies to large bodies from bench/mock_stream.c (native,
thread per connection, keep-alive), which stamps each event with CLOCK_MONOTONIC; a TLS upstream is the nginx mock
behind bench/delay_relay.py (25 ms each way, one round trip before a new connection moves).

Rows:
- stream: first byte / first event: time from connect to the first byte / the first `data:` event of a streamed
  reply, 1 client, 200 sequential requests per path (median). The shim sends its header block before it calls the
  upstream, so its first byte does not wait for the upstream; the first event does.
- stream: per-event latency: for a stream of 50 events 20 ms apart (3 streams per path), the time from the mock's
  stamp in each event to the event's arrival at the client (median over the 150 events); shim minus direct is the
  delay the relay adds to each event.
- stream: first byte from a thread-per-connection mock: the direct figure again, against the same mock started in
  its "percon" mode (a thread started for each connection, the shim's model): what starting a thread costs here.
- /api/chat relay mode / full mode: the per-event figure again for a local-model chat body, the mock's parameters
  and its stamp carried in the message text (both modes keep only the messages; the stamp is the end of each
  delta's text, so it reaches the client inside the converted lines too); relay mode passes the events on as
  they are, full mode (`ZELK_SHIM_LOCAL_DIALECT=full`) sends one JSON line per event. Direct, relay and full take
  turns, 3 streams each.
- buffered, N clients: wrk with a Lua script for the POST, `-H 'Connection: close'` (a new connection each request);
  5 rounds of 1 s per path, the paths taking turns; req/s and wrk's 50% latency are the medians of the rounds. Notes list any non-2xx answers, socket errors, and listen-queue
  overflows of the kernel during the run.
- health probe: wrk GET /health at 16 clients; nginx answers its own `return 200` for comparison.
- 200 streams open: VmRSS of the shim (sum of the nginx workers) with 200 streams open at once, each having
  received its first event; per stream = (held - base) / 200, base being the process after one stream.
- 100 MB stream: one 100 MB streamed answer through each path; the shim's VmRSS before and after (a fresh shim
  process warmed with one small stream), and the wall time of each path.
- full mode, 200 streams open / 100 MB stream: the two rows above, for /api/chat through fresh full-mode shims,
  counting a stream as open once its first line has arrived. For 100 MB the mock sends 101 MB of events, as
  each line is a little shorter than its event; the client receives at least 100 MB of lines.
- TLS upstream 25 ms away: buffered requests, 10 one after another, through the shim (warm pool) vs a client that
  opens its own TLS connection each request through the same relay (the direct column); request 1 and the median
  of requests 2..10.
- request body N MiB: one chat body with one huge message, buffered, answered with a short reply; median of
  9 runs of the whole exchange (3 rounds of 3, the paths taking turns).
- page faults per request: the shim's minor faults (/proc/PID/stat) over its runs of that size, per run.
- after 4 x 20 MiB at once: the shim's VmRSS before the large-body rows and 1 s after four concurrent 20 MiB
  requests (2 each) have ended.
"""


# RESULTS.md from this heading on is written by hand and kept across runs.
KEPT_MARK = "## Before and after"


def report(args, R):
    rows, targets = build_table(R)
    table, notes = render(rows)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    mach = machine()
    tlines = "\n".join("- %s: **%s** (%s)" % (t, "met" if ok else "not met", d) for t, ok, d in targets)
    out = "zelk-shim bench, %s, %s (run took %.0f s; %s)\n\n%s\n\nnotes:\n%s\n\ntargets:\n%s\n" % (
        when, mach, R["seconds"], load_text(R), table, notes, tlines.replace("**", ""))
    print(out)
    # What people wrote below the generated part (comparisons, profiles) stays.
    kept = ""
    try:
        with open(args.results) as f:
            old = f.read()
        at = old.find(KEPT_MARK)
        if at >= 0:
            kept = "\n" + old[at:]
    except OSError:
        pass
    with open(args.results, "w") as f:
        f.write("# Bench results\n\nLatest run of `bench/run.sh`: %s, on %s; %s.\n\n```\n%s\n\nnotes:\n%s\n```\n\n"
                "## Targets\n\n%s\n\n%s%s" % (when, mach, load_text(R), table, notes, tlines, LEGEND, kept))


if __name__ == "__main__":
    sys.exit(main())
