"""Clients nobody here wrote, run against the shim and the mock upstream.

- the chat-completions client library and the local-model client library
  from npm (tests/clients, run with `node --test`, one run per scenario);
- curl, streamed and buffered;
- Python's http.client, whose chunk decoder is strict, on both dialects.

tests/clients/install.sh installs what these need; without its
node_modules the library tests skip (curl and http.client still run).
"""
import datetime
import http.client
import json
import os
import re
import shutil
import subprocess

import pytest

import mock_upstream as mu
from conftest import ROOT, free_port, missing_peer

CLIENTS = ROOT / "tests" / "clients"
NODE_TIMEOUT = 60
CURL_TIMEOUT = 30

# Non-ASCII, an escaped quote, an escaped line feed, a backslash and a tab:
# the library must get back exactly the string the upstream encoded.
CONTENT = 'Grüße, "Welt"!\nZeile 2 — 日本語 ✓ \\ done\tend'
USAGE = {"prompt_tokens": 21, "completion_tokens": 8, "total_tokens": 29}
WORDS = ["Hél", "lo", ", ", "\"wörld\"", "\n", "✓"]
# One event larger than a relay block, its UTF-8 split at odd offsets.
BIG_WORDS = WORDS + ["é" * 12001 + "!"]


def answer(content=CONTENT, usage=USAGE, finish="stop"):
    return {"id": "chatcmpl-9", "object": "chat.completion", "created": 1700000000, "model": "upstream-model",
            "choices": [{"index": 0, "message": {"role": "assistant", "content": content},
                         "finish_reason": finish}],
            "usage": usage}


@pytest.fixture
def dead_relay(start_shim):
    """A shim whose upstream is a port nobody listens on."""
    return start_shim(env={"ZELK_SHIM_URL": f"http://127.0.0.1:{free_port()}/v1/chat/completions",
                           "ZELK_SHIM_KEY": "sk-test-key"})


def client_env(extra):
    env = {k: v for k, v in os.environ.items()
           if "proxy" not in k.lower() and not k.startswith("OPENAI_")}
    env["NO_PROXY"] = env["no_proxy"] = "127.0.0.1"
    env.update(extra)
    return env


# ---- the chat-completions client library ---------------------------------

@pytest.fixture(scope="module")
def node():
    if not (CLIENTS / "node_modules").is_dir():
        missing_peer("tests/clients/node_modules", "run tests/clients/install.sh")
    exe = shutil.which("node")
    assert exe, "node_modules is installed but node is not on PATH"
    return exe


# Each library's scenario file and the base URL it is given.
OPENAI, OLLAMA = ("openai_client.test.mjs", "/v1"), ("ollama_client.test.mjs", "")


def run_library(node, shim, scenario, expect=None, library=OPENAI):
    script, base = library
    env = client_env({"SHIM_BASE_URL": f"http://127.0.0.1:{shim.port}{base}", "SCENARIO": scenario})
    if expect is not None:
        env["EXPECT"] = json.dumps(expect)
    r = subprocess.run([node, "--test", "--test-reporter=tap", script], cwd=CLIENTS, env=env,
                       capture_output=True, text=True, timeout=NODE_TIMEOUT)
    out = r.stdout + r.stderr
    assert r.returncode == 0, f"scenario {scenario} failed:\n{out}"
    # The guard and the scenario itself ran; everything else was skipped.
    assert re.search(r"^# pass 2$", r.stdout, re.M) and re.search(r"^# fail 0$", r.stdout, re.M), out
    return out


def test_library_lists_the_models(node, relay):
    run_library(node, relay, "models")


def test_library_buffered_completion_arrives_intact(node, mock, relay):
    mock.behaviour = mu.json_reply(200, answer())
    run_library(node, relay, "buffered", {"content": CONTENT, "usage": USAGE, "requests": 3})
    assert len(mock.requests) == 3
    for req in mock.requests:
        assert req.json()["messages"][-1] == {"role": "user", "content": "Say hello"}
        assert req.header("Authorization") == "Bearer sk-test-key"


def test_library_stream_joins_deltas(node, mock, relay):
    mock.behaviour = mu.event_stream(mu.sse_deltas(BIG_WORDS), delay=0.01)
    run_library(node, relay, "stream", {"words": BIG_WORDS})
    assert mock.last().json()["stream"] is True


def test_library_sees_upstream_401_as_api_error(node, mock, relay):
    err = {"error": {"message": "Incorrect API key provided: sk-test-key", "type": "invalid_request_error",
                     "param": None, "code": "invalid_api_key"}}
    mock.behaviour = mu.json_reply(401, err, reason="Unauthorized")
    # The upstream quoted the key; the library sees its words with the key masked.
    run_library(node, relay, "unauthorized", {"code": "invalid_api_key", "message": "Incorrect API key provided: ***"})
    assert len(mock.requests) == 1  # no retries


def test_library_throws_on_in_band_stream_error(node, dead_relay):
    run_library(node, dead_relay, "stream_error")


def test_library_sees_upstream_refusal_of_a_stream(node, mock, relay):
    err = {"error": {"message": "Incorrect API key provided: sk-test-key", "type": "invalid_request_error",
                     "code": "invalid_api_key"}}
    mock.behaviour = mu.json_reply(401, err, reason="Unauthorized")
    run_library(node, relay, "stream_upstream_error", {"message": "Incorrect API key provided: ***"})


# ---- the local-model client library, full mode ------------------------------

COUNTS = {"prompt_eval_count": USAGE["prompt_tokens"], "eval_count": USAGE["completion_tokens"]}


def test_local_library_streams_text_cut_mid_character_with_usage(node, mock, full_relay):
    deltas = [{"role": "assistant", "content": ""}, {"reasoning_content": "Grüße… "}] + [{"content": w} for w in WORDS]
    mock.behaviour = mu.chat_stream(deltas, USAGE, split=True)
    run_library(node, full_relay, "stream", {"text": "".join(WORDS), "thinking": "Grüße… ", **COUNTS}, OLLAMA)
    sent = mock.last().json()
    assert sent["stream"] is True and sent["stream_options"] == {"include_usage": True}


def test_local_library_buffered_chat(node, mock, full_relay):
    mock.behaviour = mu.json_reply(200, answer())
    run_library(node, full_relay, "buffered", {"content": CONTENT, **COUNTS}, OLLAMA)
    assert mock.last().json()["stream"] is False


def test_local_library_tool_call_round_trip(node, mock, full_relay):
    arguments = {"city": "Zürich", "days": 2}
    calls = mu.chat_stream(mu.tool_call_deltas([("call_7", "forecast", json.dumps(arguments, ensure_ascii=False))]),
                           finish="tool_calls")
    final = mu.json_reply(200, answer("Sunny, 21 °C"))
    mock.behaviour = lambda conn, req: (final if req.json()["messages"][-1]["role"] == "tool" else calls)(conn, req)
    run_library(node, full_relay, "tools", {"name": "forecast", "arguments": arguments, "result": '{"temp":21}',
                                            "answer": "Sunny, 21 °C"}, OLLAMA)
    first, second = mock.requests
    assert first.json()["tools"][0]["function"]["name"] == "forecast"
    # The call goes back with its arguments as a JSON text and an id that the
    # tool's result answers to.
    assistant, tool = second.json()["messages"][-2:]
    [call] = assistant["tool_calls"]
    assert call["type"] == "function" and call["function"]["name"] == "forecast" and call["id"]
    assert json.loads(call["function"]["arguments"]) == arguments
    assert (tool["role"], tool["content"], tool["tool_call_id"]) == ("tool", '{"temp":21}', call["id"])


def test_local_library_sees_upstream_401(node, mock, full_relay):
    err = {"error": {"message": "Incorrect API key provided", "type": "invalid_request_error"}}
    mock.behaviour = mu.json_reply(401, err, reason="Unauthorized")
    run_library(node, full_relay, "unauthorized", {"message": err["error"]["message"]}, OLLAMA)
    assert len(mock.requests) == 2  # buffered and streamed, no retries


def test_local_library_sees_a_stream_cut_off(node, mock, full_relay):
    mock.behaviour = mu.event_stream(mu.sse_events([{"content": w} for w in WORDS[:3]], finish=None, ended=False))
    run_library(node, full_relay, "stream_cut", {"text": "".join(WORDS[:3])}, OLLAMA)


def test_local_library_generates_streamed_and_buffered(node, mock, full_relay):
    stream = mu.chat_stream([{"content": w} for w in WORDS], USAGE)
    final = mu.json_reply(200, answer())
    mock.behaviour = lambda conn, req: (stream if req.json()["stream"] else final)(conn, req)
    run_library(node, full_relay, "generate", {"text": "".join(WORDS), "content": CONTENT, "system": "Be brief",
                                               "eval_count": USAGE["completion_tokens"]}, OLLAMA)
    for req in mock.requests:  # the shim's system message, the caller's, then the prompt
        sent = req.json()
        assert sent["model"] == "auto" and [m["role"] for m in sent["messages"]] == ["system", "system", "user"]
        assert sent["messages"][1:] == [{"role": "system", "content": "Be brief"}, {"role": "user", "content": "Say hello"}]
    assert len(mock.requests) == 2


def test_local_library_discovers_the_model(node, mock, full_relay):
    run_library(node, full_relay, "discovery", {"name": "auto:latest", "context_length": 128000}, OLLAMA)
    assert mock.requests == []


# ---- embeddings, both libraries ---------------------------------------------

VECTORS = [[0.25, -1.5, 3.0], [0.125, 2.0, -0.5]]


def embed_answer(base64_vectors=False):
    import base64
    import struct
    pack = lambda v: base64.b64encode(struct.pack(f"<{len(v)}f", *v)).decode()
    # The second vector first: the index decides the order.
    data = [{"object": "embedding", "index": i, "embedding": pack(v) if base64_vectors else v}
            for i, v in reversed(list(enumerate(VECTORS)))]
    return {"object": "list", "data": data, "model": "e", "usage": {"prompt_tokens": 4, "total_tokens": 4}}


@pytest.fixture
def embed_relay(mock, start_shim):
    mock.reset()
    return start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key",
                           "ZELK_SHIM_EMBED_MODEL": "text-embed", "ZELK_SHIM_LOCAL_DIALECT": "full"})


@pytest.mark.parametrize("base64_vectors", [False, True])
def test_library_embeddings_decode_to_the_upstream_numbers(node, mock, embed_relay, base64_vectors):
    mock.behaviour = mu.json_reply(200, embed_answer(base64_vectors))
    run_library(node, embed_relay, "embeddings", {"vectors": VECTORS})
    assert mock.last().json()["encoding_format"] == "base64" and mock.last().json()["model"] == "text-embed"


def test_local_library_embeds(node, mock, embed_relay):
    mock.behaviour = lambda conn, req: mu.json_reply(200, embed_answer() if len(req.json()["input"]) == 2 else
                                                     {"data": [{"index": 0, "embedding": VECTORS[0]}]})(conn, req)
    run_library(node, embed_relay, "embed", {"vectors": VECTORS, "prompt": 4}, OLLAMA)
    assert [r.json()["input"] for r in mock.requests] == [["first", "second"], "first"]


# ---- curl -----------------------------------------------------------------

@pytest.fixture(scope="module")
def curl():
    exe = shutil.which("curl")
    assert exe, "curl is missing: run tests/clients/install.sh"
    return exe


def run_curl(curl, url, body, *extra):
    return subprocess.run([curl, "-sS", "--noproxy", "*", "--max-time", "20", *extra,
                           "-H", "Content-Type: application/json", "--data-binary", json.dumps(body), url],
                          env=client_env({}), capture_output=True, timeout=CURL_TIMEOUT)


def test_curl_stream_prints_events_and_exits_0(curl, mock, relay):
    events = mu.sse_deltas(WORDS)
    mock.behaviour = mu.event_stream(events, delay=0.01)
    r = run_curl(curl, f"http://127.0.0.1:{relay.port}/v1/chat/completions",
                 {"model": "x", "messages": [{"role": "user", "content": "hi"}], "stream": True}, "-N")
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout == b"".join(events)


def test_curl_stream_error_event_exits_0(curl, dead_relay):
    """Even the shim's own failure ends the chunked body properly."""
    r = run_curl(curl, f"http://127.0.0.1:{dead_relay.port}/v1/chat/completions",
                 {"messages": [], "stream": True}, "-N")
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout.startswith(b"data: {\"error\":{\"message\":\"") and r.stdout.endswith(b"\n\n")
    assert json.loads(r.stdout[len(b"data: "):])["error"]["type"] == "zelk_shim_error"


def test_curl_buffered_prints_the_body(curl, mock, relay):
    body = json.dumps(answer()).encode()
    mock.behaviour = mu.json_reply(200, body)
    r = run_curl(curl, f"http://127.0.0.1:{relay.port}/v1/chat/completions",
                 {"model": "x", "messages": [{"role": "user", "content": "hi"}]})
    assert (r.returncode, r.stderr) == (0, b"")
    assert r.stdout == body


# ---- Python's http.client ---------------------------------------------------

def http_post(port, path, obj):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=15)
    try:
        conn.request("POST", path, body=json.dumps(obj).encode(), headers={"Content-Type": "application/json"})
        resp = conn.getresponse()
        return resp.status, resp.getheader("Content-Type"), resp.getheader("Transfer-Encoding"), resp.read()
    finally:
        conn.close()


@pytest.mark.parametrize("path", ["/v1/chat/completions", "/api/chat"])
def test_http_client_reads_stream_to_its_end(mock, relay, path):
    events = mu.sse_deltas(WORDS)
    mock.behaviour = mu.event_stream(events, delay=0.01)
    # read() decodes chunks strictly: a missing last chunk raises IncompleteRead.
    status, ctype, te, data = http_post(relay.port, path, {"messages": [{"role": "user", "content": "hi"}],
                                                          "stream": True})
    assert (status, ctype, te) == (200, "text/event-stream", "chunked")
    assert data == b"".join(events)


def test_http_client_reads_stream_error_event_to_its_end(dead_relay):
    status, _, te, data = http_post(dead_relay.port, "/api/chat", {"messages": [], "stream": True})
    assert (status, te) == (200, "chunked")
    assert json.loads(data.removeprefix(b"data: "))["error"]["type"] == "zelk_shim_error"


def test_http_client_buffered_local_model_reply(mock, relay):
    mock.behaviour = mu.json_reply(200, answer())
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    status, ctype, _, body = http_post(relay.port, "/api/chat",
                                       {"model": "llama", "messages": [{"role": "user", "content": "hi"}],
                                        "stream": False})
    after = datetime.datetime.now(datetime.timezone.utc)
    assert (status, ctype) == (200, "application/x-ndjson")
    obj = json.loads(body)  # exactly one JSON value: trailing data would raise
    assert obj["model"] == "auto"
    m = re.fullmatch(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(\.\d+)?Z", obj["created_at"])
    assert m, obj["created_at"]
    created = datetime.datetime.strptime(m.group(1), "%Y-%m-%dT%H:%M:%S").replace(tzinfo=datetime.timezone.utc)
    assert before - datetime.timedelta(seconds=1) <= created <= after
    assert obj["message"] == {"role": "assistant", "content": CONTENT}
    assert obj["done"] is True and obj["done_reason"] == "stop"
    assert (obj["prompt_eval_count"], obj["eval_count"]) == (21, 8)
    assert mock.last().json()["stream"] is False


def test_http_client_local_model_reply_cut_at_length(mock, relay):
    mock.behaviour = mu.json_reply(200, answer(content="cut sh", usage={"prompt_tokens": 3, "completion_tokens": 2,
                                                                         "total_tokens": 5}, finish="length"))
    status, _, _, body = http_post(relay.port, "/api/chat", {"messages": [{"role": "user", "content": "hi"}]})
    obj = json.loads(body)
    assert status == 200
    assert (obj["message"]["content"], obj["done_reason"]) == ("cut sh", "length")
    assert (obj["prompt_eval_count"], obj["eval_count"]) == (3, 2)


def test_http_client_local_model_upstream_error(mock, relay):
    mock.behaviour = mu.json_reply(401, {"error": {"message": "Incorrect \"key\"", "type": "invalid_request_error"}})
    status, ctype, _, body = http_post(relay.port, "/api/chat", {"messages": [{"role": "user", "content": "hi"}]})
    assert status == 401
    assert json.loads(body) == {"error": "Incorrect \"key\""}
