"""What only the Windows build does: the ini file beside zelk-shim.exe read
through the profile API, and the WinHTTP error texts. Runs when
ZELK_SHIM_WINDOWS=1 (tests/wine/run.sh sets it), with ZELK_SHIM_CMD ending
in the path of zelk-shim.exe, unpacked from the release archive with its
zelk_shim.ini beside it."""
import json
import os
import pty
import re
import select
import shutil
import subprocess
import tempfile
import time

import pytest

import mock_upstream as mu
from conftest import ON_WINDOWS, chat, decode_chunks, error_text, free_port, run_shim, shim_command, shim_env
from shim_process import START_TIMEOUT

pytestmark = pytest.mark.skipif(not ON_WINDOWS, reason="Windows build only")


@pytest.fixture
def exe_copy():
    """A copy of zelk-shim.exe alone in a fresh directory, and the command
    that starts it."""
    cmd = shim_command()
    exe = cmd[-1]
    assert exe.lower().endswith(".exe"), f"ZELK_SHIM_CMD must end in the exe: {cmd}"
    d = tempfile.mkdtemp(prefix="zelk-exe-")
    copy = os.path.join(d, "zelk-shim.exe")
    shutil.copy(exe, copy)
    yield d, cmd[:-1] + [copy]
    shutil.rmtree(d, ignore_errors=True)


def write_ini(directory, text):
    with open(os.path.join(directory, "zelk_shim.ini"), "w", newline="\r\n") as f:
        f.write(text)


def test_ini_beside_the_exe_is_read(exe_copy, mock, start_shim):
    d, cmd = exe_copy
    mock.reset()
    write_ini(d, "; written by the user\n[other]\nmodel=not-this-one\n\n"
                 f"[shim]\nurl={mock.url()}\nkey=sk-from-ini\nmodel=\"ini-model\"\n")
    shim = start_shim(cmd=cmd)
    # Quotes around a value are the profile API's to strip.
    assert shim.startup_line.endswith(f"-> {mock.url()} (model=ini-model)")
    assert chat(shim.port, {"model": "m", "messages": []}).status == 200
    got = mock.last()
    assert got.header("Authorization") == "Bearer sk-from-ini"
    assert got.json()["model"] == "ini-model"


@pytest.mark.parametrize("text,words", [
    ("[shim]\nkey=" + "k" * 8193 + "\n", "ZELK_SHIM_KEY (ini key key) is too long"),
    ("[shim]\n" + ";" * (1 << 20) + "\nmodel=m\n", "zelk_shim.ini is too large: at most 1048576 bytes"),
], ids=["key", "file"])
def test_ini_refusals_exit_2(exe_copy, text, words):
    d, cmd = exe_copy
    write_ini(d, text)
    code, err = run_shim(["-p", "0"], cmd=cmd)
    assert code == 2 and words in err


def test_failure_in_a_console_of_its_own_waits_for_a_key():
    """As after a double click: alone on its console (Wine's, on a pseudo-terminal), the error waits for a key."""
    main, side = pty.openpty()
    proc = subprocess.Popen(shim_command(), stdin=side, stdout=side, stderr=side,
                            env=shim_env({"ZELK_SHIM_LOCAL_DIALECT": "half"}))
    os.close(side)
    seen, deadline = b"", time.monotonic() + START_TIMEOUT
    try:  # Wine's console draws blanks as cursor moves
        while b"pressanykey" not in re.sub(rb"\x1b\[[?0-9;]*[A-Za-z]|\s", b"", seen) and time.monotonic() < deadline:
            seen += os.read(main, 4096) if select.select([main], [], [], 0.5)[0] else b""
        time.sleep(1)
        assert proc.poll() is None, seen
        os.write(main, b"x")
        assert proc.wait(timeout=20) == 2
    finally:
        proc.kill()
        os.close(main)


def test_environment_wins_over_the_ini(exe_copy, mock, start_shim):
    d, cmd = exe_copy
    write_ini(d, "[shim]\nurl=http://127.0.0.1:1/v1/chat/completions\nmodel=ini-model\nkey=\n")
    shim = start_shim(cmd=cmd, env={"ZELK_SHIM_MODEL": "env-model"})
    assert shim.startup_line.endswith("-> http://127.0.0.1:1/v1/chat/completions (model=env-model)")


def test_shipped_ini_filled_in(exe_copy, mock, start_shim):
    """The zelk_shim.ini that ships beside the exe, filled in as its README
    says (the key; here the url as well), takes effect with the rest as
    shipped."""
    d, cmd = exe_copy
    with open(os.path.join(os.path.dirname(shim_command()[-1]), "zelk_shim.ini"), newline="") as f:
        shipped = f.read()
    filled = shipped.replace("\r\nkey =\r\n", "\r\nkey = sk-filled\r\n")
    filled = re.sub(r"(?m)^url = .*?\r$", f"url = {mock.url()}\r", filled)
    assert filled.count("sk-filled") == 1 and filled.count(mock.url()) == 1, shipped
    with open(os.path.join(d, "zelk_shim.ini"), "w", newline="") as f:
        f.write(filled)
    mock.reset()
    shim = start_shim(cmd=cmd)
    assert shim.startup_line.endswith(f"-> {mock.url()} (model=auto)")
    assert chat(shim.port, {"model": "m", "messages": []}).status == 200
    assert mock.last().header("Authorization") == "Bearer sk-filled"


def test_without_an_ini_the_defaults_hold(exe_copy, start_shim):
    _, cmd = exe_copy
    shim = start_shim(cmd=cmd)
    assert shim.startup_line.endswith("(model=auto)")
    assert " -> https://" in shim.startup_line


# WinHttpConnect only makes a handle; the name lookup and the connection
# happen in WinHttpSendRequest, so both failures carry its name, with
# ERROR_WINHTTP_CANNOT_CONNECT (12029) and ERROR_WINHTTP_NAME_NOT_RESOLVED (12007),
# after the words every system gives.
@pytest.mark.parametrize("stream", [False, True], ids=["buffered", "stream"])
@pytest.mark.parametrize("url,message", [
    ("http://127.0.0.1:{closed}/v1/chat/completions", "upstream request failed: WinHttpSendRequest 12029"),
    ("http://nonexistent.invalid/v1/chat/completions", "upstream request failed: WinHttpSendRequest 12007"),
    ("https://nonexistent.invalid:8443/v1", "upstream request failed: WinHttpSendRequest 12007"),
], ids=["refused", "bad-host", "bad-host-https"])
def test_winhttp_error_texts(start_shim, url, message, stream):
    shim = start_shim(env={"ZELK_SHIM_URL": url.format(closed=free_port())})
    r = chat(shim.port, {"messages": [], "stream": stream})
    assert error_text(r, 200 if stream else 502) == message


def test_untrusted_certificate_is_a_secure_failure(tls_mock, start_shim):
    tls_mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": tls_mock.url()})
    # The self-signed test certificate is in no trust store. Windows reports
    # ERROR_WINHTTP_SECURE_FAILURE (12175); Wine's WinHTTP finds the same
    # unknown CA but reports ERROR_WINHTTP_SECURE_CHANNEL_ERROR (12157).
    assert error_text(chat(shim.port, {"messages": []}), 502) in ("upstream request failed: WinHttpSendRequest 12175",
                                                                  "upstream request failed: WinHttpSendRequest 12157")
    assert tls_mock.requests == []


def test_body_cut_short_is_an_error(mock, relay):
    # The upstream declares 1000 bytes and drops the connection after 11.
    mock.behaviour = mu.drop_mid_body()
    assert error_text(chat(relay.port, {"messages": []}), 502) == "upstream request failed: WinHttpReadData 12030"
    mock.behaviour = mu.drop_mid_body()
    # On a stream the part that came is relayed, then the error event.
    r = chat(relay.port, {"messages": [], "stream": True})
    assert decode_chunks(r.body_bytes)[0] == b'{"choices":'
    assert error_text(r, 200) == "upstream request failed: WinHttpReadData 12030"
