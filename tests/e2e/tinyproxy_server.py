"""Debian's tinyproxy as a test proxy: its own process with its own
configuration and log in a temporary directory, on a free loopback port,
stopped by the suite.

It listens on 127.0.0.2, apart from the mocks on 127.0.0.1: Wine's WinHTTP
tells a request for the proxy from one for the server by host name alone,
and sends a same-named upstream's request in origin form.
"""
import os
import shutil
import socket
import subprocess
import tempfile
import time


HOST = "127.0.0.2"


def _free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Tinyproxy:
    def __init__(self, extra_lines=()):
        binary = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
        assert os.access(binary, os.X_OK), "tinyproxy is not installed (scripts/test.sh installs it)"
        self.dir = tempfile.mkdtemp(prefix="zelk-tinyproxy-")
        self.port = _free_port()
        self.log_path = os.path.join(self.dir, "log")
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("\n".join([f"Port {self.port}", f"Listen {HOST}", "Timeout 30", f'LogFile "{self.log_path}"',
                               "LogLevel Connect", f'PidFile "{os.path.join(self.dir, "pid")}"', "MaxClients 64",
                               *extra_lines]) + "\n")
        self.proc = subprocess.Popen([binary, "-d", "-c", conf], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            assert self.proc.poll() is None, "tinyproxy ended at start"
            try:
                socket.create_connection((HOST, self.port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, "tinyproxy did not start listening"
                time.sleep(0.05)

    def url(self, credentials=""):
        return f"http://{credentials + '@' if credentials else ''}{HOST}:{self.port}"

    def requests(self):
        """The request lines tinyproxy has logged so far, e.g. "CONNECT 127.0.0.1:4433 HTTP/1.1"."""
        try:
            with open(self.log_path, errors="replace") as f:
                return [line.split("): ", 1)[1].strip() for line in f if "]: Request (file descriptor" in line]
        except FileNotFoundError:
            return []

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
