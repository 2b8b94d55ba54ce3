"""Starting the shim as a child process, for the end-to-end suite and the
bench alike (no pytest here, so the bench can import it).

ZELK_SHIM_CMD is the command that starts the shim (default: the native
build in build/zelk-shim); the Windows build runs the same suite with a
command that starts zelk-shim.exe under Wine.
"""
import os
import pathlib
import re
import select
import shlex
import socket
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
STARTUP_RE = re.compile(rb"zelk-shim: listening on 127\.0\.0\.1:(\d+) -> (.*) \(model=(.*)\)(?: via proxy \S+)?")
START_TIMEOUT = float(os.environ.get("ZELK_SHIM_START_TIMEOUT", "30"))


def shim_command():
    cmd = os.environ.get("ZELK_SHIM_CMD")
    if cmd:
        return shlex.split(cmd)
    return [str(ROOT / "build" / "zelk-shim")]


# Variables of the host that would change what the shim does.
_SCRUB = ("ZELK_SHIM_URL", "ZELK_SHIM_KEY", "ZELK_SHIM_MODEL", "ZELK_SHIM_DEBUG", "ZELK_SHIM_ORIGINS", "GARVO_SHIM_PORT",
          "ZELK_SHIM_PROXY", "ZELK_SHIM_LOG", "ZELK_SHIM_LOCAL_DIALECT", "ZELK_SHIM_ACCESS_KEY",
          "ZELK_SHIM_CONNECT_TIMEOUT", "ZELK_SHIM_IDLE_TIMEOUT", "ZELK_SHIM_PERSONA", "ZELK_SHIM_RETRIES",
          "ZELK_SHIM_FALLBACK_URL", "ZELK_SHIM_FALLBACK_KEY", "ZELK_SHIM_FALLBACK_MODEL", "ZELK_SHIM_EMBED_MODEL",
          "ZELK_SHIM_EMBED_URL", "ZELK_SHIM_EMBED_KEY",
          "CURL_CA_BUNDLE", "SSL_CERT_FILE", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy")


def shim_env(extra=None):
    env = {k: v for k, v in os.environ.items() if k not in _SCRUB}
    env.update(extra or {})
    return env


class Shim:
    def __init__(self, proc, port, startup_line, after=b""):
        self.proc = proc
        self.port = port
        self.startup_line = startup_line
        self.after = after  # what stderr held after the start-up line when it was read

    def next_stderr_line(self, timeout=10):
        fd = self.proc.stderr.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.after.lstrip(b"\r\n") and select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            self.after += chunk
        line, _, self.after = self.after.lstrip(b"\r\n").partition(b"\n")
        return line.decode(errors="replace").rstrip("\r")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        for f in (self.proc.stdout, self.proc.stderr):
            if f:
                f.close()

    def alive(self):
        return self.proc.poll() is None


def run_shim(args=(), env=None, cmd=None, cwd=None):
    """Starts the shim and waits for its start-up line; returns a Shim, or
    (exit code, stderr) when it ended instead."""
    proc = subprocess.Popen((cmd or shim_command()) + list(args), env=shim_env(env), cwd=cwd,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + START_TIMEOUT
    seen = b""
    fd = proc.stderr.fileno()
    while time.monotonic() < deadline:
        r, _, _ = select.select([fd], [], [], 0.1)
        if r:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            seen += chunk
            m = STARTUP_RE.search(seen)
            if m:
                return Shim(proc, int(m.group(1)), m.group(0).decode(errors="replace"), seen[m.end():])
        elif proc.poll() is not None:
            break
    try:
        code = proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        code = proc.wait()
    rest = proc.stderr.read() or b""
    proc.stdout.close()
    proc.stderr.close()
    return code, (seen + rest).decode(errors="replace")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
