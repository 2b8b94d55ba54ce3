"""pytest plugin for the sanitizer runs (loaded with -p by tests/sanitize.sh).

- Every shim the suite starts gets the leak-check preload; stopping a shim
  first asks it to end with SIGTERM, so LeakSanitizer looks at the heap
  while the process is still whole, and an exit status 23 means a leak.
- After each test, any new sanitizer report file in ZELK_SANITIZER_LOGS
  fails that test with the report's text.
"""
import os
import pathlib
import signal
import subprocess

import pytest

LOGS = pathlib.Path(os.environ["ZELK_SANITIZER_LOGS"])
PRELOAD = os.environ.get("ZELK_SANITIZER_PRELOAD", "")
LEAK_STATUS = 23


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes tens of seconds")
    import conftest

    original_env = conftest.shim_env
    original_stop = conftest.Shim.stop

    def shim_env(extra=None):
        env = original_env(extra)
        if PRELOAD:
            env["LD_PRELOAD"] = PRELOAD
        return env

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                code = self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                code = None
            if code == LEAK_STATUS:
                (LOGS / f"leak-exit.{self.proc.pid}").write_text(
                    f"shim {self.proc.pid} ended with the leak status {LEAK_STATUS}\n")
        original_stop(self)

    conftest.shim_env = shim_env
    conftest.Shim.stop = stop


def _reports():
    return {p for p in LOGS.iterdir() if p.is_file()}


@pytest.fixture(autouse=True)
def no_sanitizer_report():
    before = _reports()
    yield
    fresh = sorted(_reports() - before)
    if fresh:
        text = "\n".join(f"--- {p.name}\n{p.read_text(errors='replace')[:6000]}" for p in fresh)
        pytest.fail(f"sanitizer report:\n{text}", pytrace=False)
