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
