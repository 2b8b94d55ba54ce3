"""The local-model dialect on /api/chat: the request converted for the
upstream, the collected answer converted into one reply object; in full
mode, what the shim says about its model."""
import datetime
import json
import re
import time

import pytest

import mock_upstream as mu
from conftest import LOCAL, Reply, chat, error_text, exchange, http_request
from expected import STREAM_HEADER, SYSTEM_MESSAGE

TIME_RE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z$")


def answer_with(content_json, extra=b""):
    """A chat-completions answer whose first choice's content is the given raw JSON."""
    return (b'{"id":"x","choices":[{"index":0,"message":{"role":"assistant","content":' + content_json +
            b'},"finish_reason":"stop"}]' + extra + b'}')


def test_request_becomes_three_fields(mock, relay):
    messages = b'[ {"role":"user","content":"hi \\"there\\""} ]'
    body = b'{"model":"llama3","messages":' + messages + b',"options":{"temperature":0.1},"keep_alive":"5m"}'
    chat(relay.port, body, LOCAL)
    assert mock.last().body == (b'{"model":"auto","messages":[' + SYSTEM_MESSAGE + b', {"role":"user",'
                                b'"content":"hi \\"there\\""} ],"stream":false}')


def test_request_without_messages_gets_only_the_system_message(mock, relay):
    chat(relay.port, {"model": "x"}, LOCAL)
    assert mock.last().body == b'{"model":"auto","messages":[' + SYSTEM_MESSAGE + b'],"stream":false}'


def test_reply_object(mock, relay):
    mock.behaviour = mu.json_reply(200, mu.CHAT_ANSWER)
    before = time.time()
    r = chat(relay.port, {"messages": [{"role": "user", "content": "hi"}]}, LOCAL)
    assert r.status_line == "HTTP/1.1 200 OK"
    assert r.headers["content-type"] == "application/x-ndjson"
    assert not r.body().endswith(b"\n")
    obj = r.json()
    assert list(obj) == ["model", "created_at", "message", "done", "done_reason", "prompt_eval_count", "eval_count"]
    assert obj["model"] == "auto"
    assert obj["message"] == {"role": "assistant", "content": "Hello from upstream"}
    assert obj["done"] is True and obj["done_reason"] == "stop"
    assert obj["prompt_eval_count"] == 12 and obj["eval_count"] == 5
    assert TIME_RE.match(obj["created_at"])
    stamp = time.mktime(time.strptime(obj["created_at"][:19], "%Y-%m-%dT%H:%M:%S")) - time.timezone
    assert abs(stamp - before) < 5


@pytest.mark.parametrize("content,expected", [
    (b'"say \\"hi\\"\\nline two \\u00e9"', b'"say \\"hi\\"\\nline two \\u00e9"'),  # escapes kept byte for byte
    (b'null', b'""'),
    (b'42', b'""'),
    (b'""', b'""'),
])
def test_content_forms(mock, relay, content, expected):
    mock.behaviour = mu.json_reply(200, answer_with(content))
    r = chat(relay.port, {"messages": []}, LOCAL)
    assert b'"message":{"role":"assistant","content":' + expected + b'}' in r.body()
    r.json()


def test_content_cut_off_gives_empty_content(mock, relay):
    mock.behaviour = mu.json_reply(200, b'{"choices":[{"message":{"role":"assistant","content":"never ends')
    assert chat(relay.port, {"messages": []}, LOCAL).json()["message"]["content"] == ""


def test_content_without_choices_structure_falls_back(mock, relay):
    mock.behaviour = mu.json_reply(200, {"result": {"content": "from elsewhere"}})
    r = chat(relay.port, {"messages": []}, LOCAL)
    assert r.json()["message"]["content"] == "from elsewhere"
    assert r.json()["prompt_eval_count"] == 0 and r.json()["eval_count"] == 0


def test_length_finish_reason(mock, relay):
    ans = dict(mu.CHAT_ANSWER, choices=[{"index": 0, "message": {"role": "assistant", "content": "cut"},
                                         "finish_reason": "length"}])
    mock.behaviour = mu.json_reply(200, ans)
    assert chat(relay.port, {"messages": []}, LOCAL).json()["done_reason"] == "length"


def test_upstream_error_keeps_status_and_uses_local_error_shape(mock, relay):
    mock.behaviour = mu.json_reply(401, {"error": {"message": "Incorrect \"key\"", "type": "auth"}})
    r = chat(relay.port, {"messages": []}, LOCAL)
    assert r.status_line == "HTTP/1.1 401 Unauthorized"
    assert r.json() == {"error": "Incorrect \"key\""}
    mock.behaviour = mu.json_reply(503, b"upstream <b>down</b>\n")
    r = chat(relay.port, {"messages": []}, LOCAL)
    assert r.status == 503 and r.json() == {"error": "upstream <b>down</b>\n"}


def test_stream_mode_is_decided_by_the_top_level_member(mock, relay):
    # A user text that is exactly "stream" decides nothing.
    mock.behaviour = mu.event_stream([b'{"message":{"content":"a"},"done":false}\n'])
    r = chat(relay.port, {"messages": [{"role": "user", "content": "stream"}], "stream": True}, LOCAL)
    assert r.head == STREAM_HEADER
    assert r.body() == b'{"message":{"content":"a"},"done":false}\n'
    assert mock.last().body.endswith(b',"stream":true}')
    mock.reset()
    r = chat(relay.port, {"messages": [{"role": "user", "content": "stream"}, {"stream": True}]}, LOCAL)
    assert r.headers["content-type"] == "application/x-ndjson"
    assert mock.last().body.endswith(b',"stream":false}')


@pytest.mark.parametrize("setting", [{}, {"ZELK_SHIM_LOCAL_DIALECT": "relay"}], ids=["default", "relay"])
def test_relay_mode_passes_a_stream_on_byte_for_byte(mock, start_shim, setting):
    """Events, blocks cut mid-character, tool calls and all: what the upstream
    sends is what the caller gets, and the request keeps its three fields."""
    mock.reset()
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), **setting})
    blocks = mu.split_mid_character(mu.sse_events(
        [{"reasoning_content": "hmm…"}, {"content": "Grüße ✓"}] + mu.tool_call_deltas([("c1", "f", '{"a":"é"}')]),
        usage={"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}))
    mock.behaviour = mu.event_stream(blocks)
    r = chat(shim.port, {"messages": [], "stream": True, "tools": [{"type": "function"}]}, LOCAL)
    assert r.head == STREAM_HEADER and r.body() == b"".join(blocks)
    assert list(mock.last().json()) == ["model", "messages", "stream"]


def test_stream_failure_is_an_in_band_event(start_shim):
    shim = start_shim(env={"ZELK_SHIM_URL": "ftp://x"})
    r = chat(shim.port, {"messages": [], "stream": True}, LOCAL)
    assert r.head == STREAM_HEADER
    assert r.body() == b'data: {"error":{"message":"bad ZELK_SHIM_URL scheme","type":"zelk_shim_error"}}\n\n'


def test_empty_upstream_answer_is_502(mock, relay):
    mock.behaviour = mu.no_body(204)
    r = chat(relay.port, {"messages": []}, LOCAL)
    assert r.status_line == "HTTP/1.1 502 Internal"
    assert error_text(r) == "empty upstream response (status 204)"


# ---- full mode: what the shim says about its model -------------------------

def get(port, path):
    return Reply(exchange(port, http_request("GET", path)))


def test_full_show_answers_for_any_name_with_what_editors_read(mock, full_relay):
    for body in ({"model": "llama3.1:latest"}, {"name": "whatever"}):
        r = Reply(exchange(full_relay.port, http_request("POST", "/api/show", json.dumps(body).encode())))
        assert r.status == 200, body
        show = r.json()
        arch = show["model_info"]["general.architecture"]
        assert show["model_info"]["general.basename"] == "auto"
        assert show["model_info"][f"{arch}.context_length"] == 128000
        assert show["capabilities"] == ["completion", "tools"]
        assert all(isinstance(show[k], str) for k in ("license", "modelfile", "parameters", "template"))
        assert TIME_RE.match(show["modified_at"]) and "." in show["modified_at"]
    r = Reply(exchange(full_relay.port, http_request("POST", "/api/show", b'{"model":')))
    assert r.status == 400 and "error" in r.json()
    assert mock.requests == []


def test_full_ps_lists_the_model_loaded_as_the_settings_describe_it(mock, start_shim):
    shim = start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_LOCAL_DIALECT": "full", "ZELK_SHIM_MODEL": "org/m:8b",
                           "ZELK_SHIM_CONTEXT_LENGTH": "4096", "ZELK_SHIM_CAPABILITIES": "thinking, vision"})
    [m] = get(shim.port, "/api/ps").json()["models"]
    assert (m["name"], m["model"], m["context_length"], m["size_vram"]) == ("org/m:8b", "org/m:8b", 4096, 0)
    assert re.fullmatch(r"[0-9a-f]{64}", m["digest"]) and m["details"]["family"]
    assert datetime.datetime.fromisoformat(m["expires_at"].replace("Z", "+00:00")) > datetime.datetime.now(datetime.UTC)
    show = Reply(exchange(shim.port, http_request("POST", "/api/show", b'{"model":"x"}'))).json()
    assert show["capabilities"] == ["completion", "vision", "thinking"]


def test_full_version_and_unserved_endpoints(mock, full_relay):
    assert tuple(map(int, get(full_relay.port, "/api/version").json()["version"].split("."))) >= (0, 6, 4)
    for method, path in [("POST", "/api/embed"), ("DELETE", "/api/delete"), ("HEAD", "/api/blobs/sha256:00")]:
        r = Reply(exchange(full_relay.port, http_request(method, path, b"{}" if method == "POST" else b"")))
        assert r.status == 404 and r.headers["content-type"] == "application/json", path
        if method != "HEAD":
            assert "not served" in r.json()["error"]
    assert mock.requests == []


@pytest.mark.parametrize("path,body,reason", [
    (LOCAL, {"model": "llama3.2", "messages": []}, "load"),
    (LOCAL, {"model": "llama3.2:latest", "stream": False}, "load"),
    (LOCAL, {"model": "llama3.2", "messages": [], "keep_alive": 0}, "unload"),
    ("/api/generate", {"model": "llama3.2"}, "load"),
    ("/api/generate", {"model": "llama3.2", "prompt": "", "keep_alive": "0"}, "unload"),
    ("/api/generate", {"model": "llama3.2", "keep_alive": "10m", "stream": False}, "load"),
])
def test_full_load_and_unload_answer_at_once(mock, full_relay, path, body, reason):
    r = chat(full_relay.port, body, path)
    assert r.status == 200 and r.headers["content-type"] == "application/json"
    obj = r.json()
    text = obj.pop("message") if path == LOCAL else {"role": "assistant", "content": obj.pop("response")}
    assert text == {"role": "assistant", "content": ""}
    assert TIME_RE.match(obj.pop("created_at"))
    assert obj == {"model": "auto", "done": True, "done_reason": reason}
    assert mock.requests == []


# ---- embeddings ------------------------------------------------------------

EMBED_ANSWER = (b'{"object":"list","data":[{"object":"embedding","index":1,"embedding":[0.5,-2E-3]},'
                b'{"object":"embedding","index":0,"embedding":[0.100000001,1]}],"model":"e",'
                b'"usage":{"prompt_tokens":7,"total_tokens":7}}')
REFUSAL = {"error": {"message": "no such model for sk-embed-key", "type": "invalid_request_error"}}
masked = lambda b: b"no such model for " in b and b"sk-embed-key" not in b


@pytest.fixture
def embed_shim(mock, start_shim):
    mock.reset()
    return start_shim(env={"ZELK_SHIM_URL": mock.url(), "ZELK_SHIM_KEY": "sk-test-key",
                           "ZELK_SHIM_EMBED_MODEL": "text-embed", "ZELK_SHIM_EMBED_KEY": "sk-embed-key",
                           "ZELK_SHIM_LOCAL_DIALECT": "full"})


def floats_b64(values):
    import base64
    import struct
    return base64.b64encode(struct.pack(f"<{len(values)}f", *values)).decode()


# path, caller's body, upstream answer (None: no call), status, what went upstream, the reply (raw or a test)
EMBED_CASES = [
    ("/api/embed", b'{"model":"mine:latest","input":["a","b"],"truncate":true,"dimensions":2,"keep_alive":"5m"}',
     EMBED_ANSWER, 200,
     b'{"model":"text-embed","input":["a","b"],"encoding_format":"float","dimensions":2}',
     lambda b: b.startswith(b'{"model":"mine:latest","embeddings":[[0.100000001,1],[0.5,-2E-3]],"total_duration":')
     and b.endswith(b',"load_duration":0,"prompt_eval_count":7}')),
    ("/api/embeddings", b'{"model":"m","prompt":"x"}', b'{"data":[{"index":0,"embedding":[3e1]}]}', 200,
     b'{"model":"text-embed","input":"x","encoding_format":"float"}', b'{"embedding":[3e1]}'),
    ("/v1/embeddings", b'{"input":"x","encoding_format":"base64"}', EMBED_ANSWER, 200,
     b'{"model":"text-embed","input":"x","encoding_format":"base64"}',
     lambda b: [d["embedding"] for d in json.loads(b)["data"]] == [floats_b64([0.5, -2e-3]), floats_b64([0.1, 1])]),
    ("/v1/embeddings", b'{"model":"x", "input":[[1,2]],"user":"u"}', EMBED_ANSWER, 200,
     b'{"model":"text-embed", "input":[[1,2]],"user":"u"}', EMBED_ANSWER),
    ("/api/embed", b'{"model":"mine","input":[]}', None, 200, None, b'{"model":"mine","embeddings":[]}'),
    ("/api/embeddings", b'{"model":"mine"}', None, 200, None, b'{"embedding":[]}'),
    ("/api/embed", b'{"model":"m","input":"a"}', json.dumps(REFUSAL).encode(), 404, b"",
     lambda b: masked(b) and list(json.loads(b)) == ["error"]),
    ("/v1/embeddings", b'{"input":"a"}', json.dumps(REFUSAL).encode(), 404, b"",
     lambda b: masked(b) and b'"invalid_request_error"' in b),
    ("/api/embed", b'{"model":"m","input":["a","b","c"]}', EMBED_ANSWER, 502, b"", "2 embeddings for 3 inputs"),
    ("/api/embed", b'{"model":"m","input":"a"}', b'{"data":[{"index":0,"embedding":"AAAA"}]}', 502, b"",
     "data[0].embedding"),
    ("/api/embed", b'{"model":"m","input":[1]}', None, 400, None, "input: expected a string or an array"),
    ("/api/embed", b'{"model":"m","input":"a","dimensions":-1}', None, 400, None, "dimensions"),
    ("/api/embeddings", b'{"model":"m","prompt":["a"]}', None, 400, None, "prompt: expected a string"),
    ("/api/embed", b'{"input":"a"}', None, 400, None, "model is required"),
    ("/v1/embeddings", b'[{"input":"a"}]', None, 400, None, "one JSON object"),
]


@pytest.mark.parametrize("path,body,answer,status,sent,expected", EMBED_CASES)
def test_embedding_paths(mock, embed_shim, path, body, answer, status, sent, expected):
    if answer is not None:
        mock.behaviour = mu.json_reply(404 if b'"error"' in answer else 200, answer)
    r = chat(embed_shim.port, body, path)
    assert r.status == status, r.body()
    assert r.headers["content-type"] == "application/json"
    assert len(mock.requests) == (answer is not None)
    if sent:
        assert mock.last().request_line == "POST /v1/embeddings HTTP/1.1"
        assert mock.last().body == sent
        assert mock.last().header("Authorization") == "Bearer sk-embed-key"
    if isinstance(expected, str):
        assert expected in error_text(r)
    elif callable(expected):
        assert expected(r.body()), r.body()
    else:
        assert r.body() == expected


def test_embedding_paths_without_a_model_answer_as_before(mock, relay, full_relay):
    for port, code in ((relay.port, 404), (full_relay.port, 404)):
        for path in ("/v1/embeddings", "/api/embed", "/api/embeddings"):
            r = chat(port, b'{"model":"m","input":"a"}', path)
            assert r.status == code and mock.requests == []
    assert "not served" in error_text(chat(full_relay.port, b'{}', "/api/embed"))
    assert chat(relay.port, b'{}', "/api/embed").body() == b""


def test_embedding_model_is_listed_and_shown(mock, embed_shim):
    get = lambda path: Reply(exchange(embed_shim.port, http_request("GET", path))).json()
    assert [m["id"] for m in get("/v1/models")["data"]] == ["auto", "text-embed"]
    assert [m["name"] for m in get("/api/tags")["models"]] == ["auto:latest", "text-embed:latest"]
    assert [m["name"] for m in get("/api/ps")["models"]] == ["auto:latest", "text-embed:latest"]
    for name, caps in (("text-embed:latest", ["embedding"]), ("text-embed", ["embedding"]),
                       ("auto", ["completion", "tools"])):
        show = Reply(exchange(embed_shim.port, http_request("POST", "/api/show", json.dumps({"model": name}).encode())))
        assert show.json()["capabilities"] == caps
    # A chat naming the embedding model still gets the chat model.
    chat(embed_shim.port, {"model": "text-embed:latest", "messages": [{"role": "user", "content": "hi"}], "stream": False}, LOCAL)
    assert mock.last().json()["model"] == "auto"
