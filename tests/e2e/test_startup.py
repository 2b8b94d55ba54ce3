"""Start-up: options, port rules, settings precedence, the start-up line."""
import os
import re
import shutil
import socket
import subprocess
import tempfile

import pytest

from conftest import ON_WINDOWS, ROOT, Shim, chat, exchange, free_port, run_shim, shim_command, shim_env, shim_path

DEFAULT_URL_RE = r"https://[^ ]+/v1/chat/completions"


def started(result):
    assert isinstance(result, Shim), f"did not start: {result}"
    result.stop()
    return result


def free_range(count):
    """A base port whose `count` ports are all free right now."""
    for _ in range(50):
        base = free_port()
        if base + count > 65535:
            continue
        socks = []
        try:
            for p in range(base, base + count):
                s = socket.socket()
                s.bind(("127.0.0.1", p))
                socks.append(s)
            return base
        except OSError:
            pass
        finally:
            for s in socks:
                s.close()
    pytest.skip("no free port range")


def hold(ports):
    socks = []
    for p in ports:
        s = socket.socket()
        s.bind(("127.0.0.1", p))
        s.listen(1)
        socks.append(s)
    return socks


def test_help_and_version():
    out = subprocess.run(shim_command() + ["--help"], capture_output=True, env=shim_env(), timeout=60)
    assert out.returncode == 0
    for word in (b"--port", b"-p", b"ZELK_SHIM_URL", b"ZELK_SHIM_KEY", b"ZELK_SHIM_MODEL", b"GARVO_SHIM_PORT",
                 b"ZELK_SHIM_DEBUG", b"zelk_shim.ini"):
        assert word in out.stdout
    # Every ini key of the README's settings table is named.
    table = (ROOT / "README.md").read_text().split("\n## Settings\n")[1].split("\n## ")[0]
    ini_keys = re.findall(r"^\|[^|\n]*\| `(\w+)` \|", table, re.M)
    assert "access_key" in ini_keys and [k for k in ini_keys if k.encode() not in out.stdout] == []
    out = subprocess.run(shim_command() + ["--version"], capture_output=True, env=shim_env(), timeout=60)
    # The version set in CMakeLists.txt, and the commit the exe was built from.
    version = re.search(r"project\(zelk_shim VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert out.returncode == 0 and re.fullmatch(rb"zelk-shim %s \(commit ([0-9a-f]{7,}|unknown)\)\r?\n"
                                                % re.escape(version.encode()), out.stdout), out.stdout


def test_startup_line_and_defaults():
    s = run_shim(["-p", "0"])
    assert isinstance(s, Shim), s
    assert re.fullmatch(r"zelk-shim: listening on 127\.0\.0\.1:\d+ -> " + DEFAULT_URL_RE + r" \(model=auto\)",
                        s.startup_line)
    assert s.port != 0  # the bound port, read back, never the 0 asked for
    # No key: the next line says where one goes; with one, nothing follows.
    hint = s.next_stderr_line()
    assert hint.startswith("zelk-shim: no key configured") and "zelk_shim.ini" in hint and "ZELK_SHIM_KEY" in hint, hint
    s.stop()
    keyed = run_shim(["-p", "0"], {"ZELK_SHIM_KEY": "k"})
    assert keyed.next_stderr_line(timeout=1) == ""
    keyed.stop()


def test_port_options():
    base = free_range(3)
    assert started(run_shim(["-p", str(base)])).port == base
    assert started(run_shim(["--port", str(base), "-p", str(base + 1)])).port == base + 1
    # GARVO_SHIM_PORT wins over the command line; an empty one is ignored.
    assert started(run_shim(["--port", str(base)], {"GARVO_SHIM_PORT": str(base + 2)})).port == base + 2
    assert started(run_shim(["--port", str(base)], {"GARVO_SHIM_PORT": ""})).port == base


@pytest.mark.skipif(ON_WINDOWS, reason="port 8080 may be held by the host")
def test_lone_port_option_is_ignored():
    held = None
    try:
        held = socket.socket()
        held.bind(("127.0.0.1", 8080))
        held.close()
        held = None
    except OSError:
        pytest.skip("8080 is busy here")
    assert started(run_shim(["--port"])).port == 8080


@pytest.mark.parametrize("args,env,bad", [
    (["--port", "abc"], {}, "abc"),
    (["-p", "65536"], {}, "65536"),
    (["-p", "-1"], {}, "-1"),
    (["-p", "80x"], {}, "80x"),
    (["-p", "9000"], {"GARVO_SHIM_PORT": "seven"}, "seven"),
])
def test_bad_port_values_exit_2(args, env, bad):
    code, err = run_shim(args, env)
    assert code == 2
    assert bad in err and "port" in err
    assert "listening" not in err


@pytest.mark.parametrize("env,line", [
    ({"ZELK_SHIM_LOCAL_DIALECT": "half"}, "bad ZELK_SHIM_LOCAL_DIALECT (ini key local_dialect): want relay or full"),
    ({"ZELK_SHIM_ACCESS_KEY": "two words"},
     "bad ZELK_SHIM_ACCESS_KEY (ini key access_key): use printable ASCII without blanks"),
    ({"ZELK_SHIM_CONTEXT_LENGTH": "8k"}, "bad ZELK_SHIM_CONTEXT_LENGTH (ini key context_length): "
                                         "want a whole number from 1 to 100000000"),
    ({"ZELK_SHIM_CAPABILITIES": "tools,audio"}, "bad ZELK_SHIM_CAPABILITIES (ini key capabilities): "
                                                "want a comma list of completion, tools, vision, thinking"),
    ({"ZELK_SHIM_RETRIES": "6"}, "bad ZELK_SHIM_RETRIES (ini key retries): want a whole number from 0 to 5"),
    ({"ZELK_SHIM_FALLBACK_URL": "ftp://backup.example/v1"},
     "bad ZELK_SHIM_FALLBACK_URL (ini key fallback_url): want http:// or https:// and a host"),
    ({"ZELK_SHIM_URL": "http://127.0.0.1:1/v1\r\nX-Injected: 1"},
     "ZELK_SHIM_URL (ini key url) holds a control byte (0x00-0x1f or 0x7f)"),
    ({"GARVO_SHIM_PORT": "80\x7f"}, "GARVO_SHIM_PORT (option --port or -p) holds a control byte (0x00-0x1f or 0x7f)"),
    ({"ZELK_SHIM_CONNECT_TIMEOUT": "0"}, "bad ZELK_SHIM_CONNECT_TIMEOUT (ini key connect_timeout): "
                                         "want a whole number of seconds from 1 to 300"),
    ({"ZELK_SHIM_IDLE_TIMEOUT": "3601"}, "bad ZELK_SHIM_IDLE_TIMEOUT (ini key idle_timeout): "
                                         "want a whole number of seconds from 1 to 3600"),
    ({"ZELK_SHIM_URL": "http://127.0.0.1:1/v1/chat", "ZELK_SHIM_EMBED_MODEL": "e"},
     "ZELK_SHIM_EMBED_URL (ini key embed_url) is needed: the chat URL's path does not end in /chat/completions, "
     "so the embeddings URL cannot be worked out from it"),
    ({"ZELK_SHIM_PERSONA": "@missing.txt"}, "bad ZELK_SHIM_PERSONA (ini key persona): "
                                            "the file cannot be read (a relative path is taken beside the executable)"),
    ({"ZELK_SHIM_PERSONA": "@empty.txt"}, "bad ZELK_SHIM_PERSONA (ini key persona): the file holds no text"),
    ({"ZELK_SHIM_PERSONA": "@latin1.txt"}, "bad ZELK_SHIM_PERSONA (ini key persona): "
                                           "the file is not UTF-8 text (byte 12)"),
    ({"ZELK_SHIM_PERSONA": "@large.txt"}, "bad ZELK_SHIM_PERSONA (ini key persona): "
                                          "the file is larger than 65536 bytes"),
])
def test_bad_setting_value_exits_2(env, line, tmp_path):
    # "@name" stands for a persona file of that name (none for missing.txt).
    files = {"empty.txt": b"\xef\xbb\xbf\r\n", "latin1.txt": b"Sois bref, s\xe9rieux.\n", "large.txt": b"x" * 65537}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    env = {k: shim_path(str(tmp_path / v[1:])) if v.startswith("@") else v for k, v in env.items()}
    code, err = run_shim(["-p", "0"], env)
    assert (code, err.replace("\r\n", "\n")) == (2, f"zelk-shim: {line}\n")


@pytest.mark.parametrize("var,ini_key,room", [("ZELK_SHIM_URL", "url", 511), ("ZELK_SHIM_KEY", "key", 8192),
                                              ("ZELK_SHIM_MODEL", "model", 256),
                                              ("ZELK_SHIM_ACCESS_KEY", "access_key", 256)])
def test_setting_longer_than_its_room_exits_2(var, ini_key, room):
    value = ("http://127.0.0.1:1/" if var == "ZELK_SHIM_URL" else "").ljust(room + 1, "v")
    code, err = run_shim(["-p", "0"], {var: value})
    line = f"zelk-shim: {var} (ini key {ini_key}) is too long: at most {room} bytes\n"
    assert (code, err.replace("\r\n", "\n")) == (2, line)


def test_longest_key_and_model_reach_the_upstream_whole(mock, start_shim):
    mock.reset()
    key, model = "k" * 8192, "m" * 256
    s = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": key, "ZELK_SHIM_MODEL": model})
    assert s.startup_line.endswith(f"(model={model})")
    for _ in range(2):  # the second turn on a handle that keeps its header lines
        assert chat(s.port).status == 200
        assert mock.last().header("Authorization") == "Bearer " + key and mock.last().json()["model"] == model


def test_busy_ports_are_skipped():
    base = free_range(2)
    socks = hold([base])
    try:
        assert started(run_shim(["-p", str(base)])).port == base + 1
    finally:
        for s in socks:
            s.close()


def test_all_21_ports_busy_is_listen_failure():
    base = free_range(21)
    socks = hold(range(base, base + 21))
    try:
        code, err = run_shim(["-p", str(base)])
    finally:
        for s in socks:
            s.close()
    assert code == 1
    assert err.startswith("zelk-shim: listen failed ") and err.strip().split()[-1].isdigit()


def test_counting_up_stops_at_65535():
    socks = []
    try:
        socks = hold([65535])
    except OSError:
        pytest.skip("65535 is busy here")
    try:
        code, err = run_shim(["-p", "65535"])
    finally:
        for s in socks:
            s.close()
    assert code == 1 and "listen failed" in err


def test_environment_sets_url_and_model():
    s = started(run_shim(["-p", "0"], {"ZELK_SHIM_URL": "http://127.0.0.1:1/x", "ZELK_SHIM_MODEL": "m" * 100,
                                       "ZELK_SHIM_KEY": "secret-key"}))
    assert s.startup_line.endswith("-> http://127.0.0.1:1/x (model=" + "m" * 100 + ")")
    assert "secret-key" not in s.startup_line


@pytest.mark.skipif(ON_WINDOWS, reason="the Windows suite checks the ini beside zelk-shim.exe")
def test_ini_file_beside_the_executable():
    d = tempfile.mkdtemp(prefix="zelk-ini-")
    try:
        exe = os.path.join(d, "zelk-shim")
        shutil.copy(shim_command()[-1], exe)
        with open(os.path.join(d, "zelk_shim.ini"), "w") as f:
            f.write("; settings\n[other]\nmodel = wrong\n[SHIM]\nURL = \"http://127.0.0.1:2/ini\"\n"
                    "model=ini-model\nkey = ini-key\n")
        s = started(run_shim(["-p", "0"], cmd=[exe]))
        assert s.startup_line.endswith("-> http://127.0.0.1:2/ini (model=ini-model)")  # first key wins
        with open(os.path.join(d, "zelk_shim.ini"), "w") as f:
            f.write("[shim]\nmodel = " + "i" * 100 + "\nurl=http://127.0.0.1:2/ini\n")
        s = started(run_shim(["-p", "0"], cmd=[exe]))
        assert s.startup_line.endswith("(model=" + "i" * 100 + ")")
        # The environment wins over the ini file; an empty variable does not.
        s = started(run_shim(["-p", "0"], {"ZELK_SHIM_MODEL": "env-model", "ZELK_SHIM_URL": ""}, cmd=[exe]))
        assert s.startup_line.endswith("-> http://127.0.0.1:2/ini (model=env-model)")
        # An ini value longer than its room arrives whole enough to be refused, never cut.
        with open(os.path.join(d, "zelk_shim.ini"), "w") as f:
            f.write("[shim]\nkey = " + "k" * 8193 + "\n")
        code, err = run_shim(["-p", "0"], cmd=[exe])
        assert code == 2 and "ZELK_SHIM_KEY (ini key key) is too long" in err
        started(run_shim(["-p", "0"], {"ZELK_SHIM_KEY": "k"}, cmd=[exe]))  # unless a later source replaces it
        # Read whole up to 1 MiB, so a key past the first 64 KiB is found whole;
        # a larger file is refused, named, with none of its values.
        ini = os.path.join(d, "zelk_shim.ini")
        for filler, model in [(70000, "m" * 200), (1 << 20, "m")]:
            with open(ini, "w") as f:
                f.write("[shim]\n" + ";" * filler + "\nmodel = " + model + "\n")
            if filler < 1 << 20:
                assert started(run_shim(["-p", "0"], cmd=[exe])).startup_line.endswith(f"(model={model})")
            else:
                code, err = run_shim(["-p", "0"], cmd=[exe])
                assert (code, err) == (2, f"zelk-shim: the ini file {ini} is too large: at most 1048576 bytes\n")
        # A control byte in an ini value is refused as in the environment.
        with open(ini, "w") as f:
            f.write("[shim]\nmodel = a\tb\n")
        code, err = run_shim(["-p", "0"], cmd=[exe])
        assert (code, err) == (2, "zelk-shim: ZELK_SHIM_MODEL (ini key model) holds a control byte (0x00-0x1f or 0x7f)\n")
        # A relative persona path is beside the executable, not where the shim is started.
        with open(ini, "w") as f:
            f.write("[shim]\npersona = persona.txt\n")
        code, err = run_shim(["-p", "0"], cmd=[exe])
        assert code == 2 and "ZELK_SHIM_PERSONA (ini key persona): the file cannot be read" in err
        with open(os.path.join(d, "persona.txt"), "w") as f:
            f.write("Be brief.\n")
        started(run_shim(["-p", "0"], cmd=[exe], cwd=tempfile.gettempdir()))
    finally:
        shutil.rmtree(d, ignore_errors=True)


def test_listener_is_loopback_only():
    s = run_shim(["-p", "0"])
    assert isinstance(s, Shim)
    try:
        assert exchange(s.port, b"GET /health HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 200 OK")
        # Reachable only on 127.0.0.1: no other local address answers.
        addrs = {a[4][0] for a in socket.getaddrinfo(socket.gethostname(), None, socket.AF_INET)} - {"127.0.0.1"}
        for a in addrs:
            if a.startswith("127."):
                continue
            with pytest.raises(OSError):
                socket.create_connection((a, s.port), timeout=2).close()
    finally:
        s.stop()


def test_restart_gets_its_port_back_despite_time_wait():
    base = free_range(2)
    s = run_shim(["-p", str(base)])
    assert isinstance(s, Shim) and s.port == base
    for _ in range(3):  # the shim closes first, so its side lingers in TIME_WAIT
        exchange(s.port, b"GET /health HTTP/1.1\r\n\r\n")
    s.stop()
    assert started(run_shim(["-p", str(base)])).port == base
