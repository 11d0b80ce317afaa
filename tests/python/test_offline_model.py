"""The offline model server, driven by the real ollama client and by raw HTTP."""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys

import pytest

ollama = pytest.importorskip("ollama")

from quorvel.offline_model import MODEL_NAME, OfflineModelServer, answer_pieces, expected_answer

pytestmark = pytest.mark.timeout(60)

QUESTION = "中国上海的新闻"
ASK = [{"role": "user", "content": QUESTION}]


@pytest.fixture
def server():
    with OfflineModelServer(delay=0) as srv:
        yield srv


@pytest.fixture
def client(server):
    return ollama.Client(host=server.url)


def post(server, path, body, headers=None):
    conn = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    try:
        conn.request("POST", path, body=body, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        conn.close()


def test_chat_streamed_and_whole(client):
    *words, final = client.chat(model=MODEL_NAME, messages=ASK, stream=True)
    assert [c.message.content for c in words] == answer_pieces(QUESTION)
    assert QUESTION in expected_answer(QUESTION) != expected_answer("中国北京的新闻")
    assert not any(c.done for c in words)
    assert final.done and final.done_reason == "stop" and final.message.content == ""
    assert final.eval_count == len(words) and final.prompt_eval_count > 0
    assert all(final[k] >= 0 for k in ("load_duration", "prompt_eval_duration", "eval_duration"))
    assert final.total_duration >= final.eval_duration
    # The whole answer follows the last user message, whatever came before it.
    history = [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "x"}] + ASK
    reply = client.chat(model=MODEL_NAME, messages=history)
    assert reply.done and reply.message.content == expected_answer(QUESTION)
    cut = list(client.chat(model=MODEL_NAME, messages=ASK, stream=True, options={"num_predict": 3}))
    assert len(cut) == 4 and cut[-1].done_reason == "length"


@pytest.mark.parametrize("name, found", [
    ("QWEN3:30b", True), ("registry.ollama.ai/library/qwen3:30b", True),
    ("qwen3", False), ("llama3:8b", False),
])
def test_model_names(client, name, found):
    if found:
        assert client.chat(model=name, messages=ASK).done and client.show(name).details.family == "qwen3moe"
        return
    with pytest.raises(ollama.ResponseError) as chat_error:
        list(client.chat(model=name, messages=ASK, stream=True))
    assert (chat_error.value.status_code, chat_error.value.error) == (
        404, 'model "%s" not found, try pulling it first' % name)
    with pytest.raises(ollama.ResponseError) as show_error:
        client.show(name)
    assert (show_error.value.status_code, show_error.value.error) == (404, "model '%s' not found" % name)


def test_catalogue(client):
    assert [m.model for m in client.list().models] == [MODEL_NAME]
    assert "completion" in client.show(MODEL_NAME).capabilities
    assert client.ps().models == []


@pytest.mark.parametrize("body, headers", [
    (b"", {}),
    (b"{not json", {}),
    (b"\xff\xfe", {}),
    (b"[1, 2]", {}),
    (b'{"model": 7}', {}),
    (b'{"model": "qwen3:30b", "messages": [{"content": "x"}]}', {}),
    (b'{"model": "qwen3:30b", "messages": [], "stream": "yes"}', {}),
    (b"{}", {"Content-Length": "-4"}),
], ids=["empty", "syntax", "not-utf8", "array", "model-int", "no-role", "stream-text", "bad-length"])
def test_malformed_requests_get_400_and_the_server_lives_on(server, client, body, headers):
    status, content_type, payload = post(server, "/api/chat", body, headers)
    assert status == 400 and content_type.startswith("application/json")
    assert isinstance(json.loads(payload)["error"], str)
    assert client.chat(model=MODEL_NAME, messages=ASK).done


def test_one_connection_carries_a_stream_then_more_requests(server):
    # Chunk framing that is off by a byte breaks the request after a stream on a kept-alive connection.
    conn = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    try:
        conn.request("POST", "/api/chat", body=json.dumps({"model": MODEL_NAME, "messages": ASK}).encode())
        lines = conn.getresponse().read().decode().splitlines()
        assert json.loads(lines[-1])["done"] and len(lines) == len(answer_pieces(QUESTION)) + 1
        conn.request("GET", "/api/nothing")
        assert conn.getresponse().read() == b"404 page not found"
    finally:
        conn.close()


def test_listens_on_loopback_only():
    with pytest.raises(ValueError, match="loopback"):
        OfflineModelServer("0.0.0.0")


def test_stop_ends_streams_and_idle_connections_and_frees_the_port():
    srv = OfflineModelServer(delay=0.2).start()
    port = srv.server_address[1]
    idle = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    idle.request("GET", "/api/version")
    idle.getresponse().read()
    stream = ollama.Client(host=srv.url).chat(model=MODEL_NAME, messages=ASK, stream=True)
    assert next(stream).message.content == answer_pieces(QUESTION)[0]
    srv.stop(timeout=3)
    with pytest.raises(Exception):
        list(stream)
    idle.close()
    with socket.socket() as probe:
        # Connections the server closed linger in TIME_WAIT; only a listener would block this.
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("127.0.0.1", port))


def _python(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, *args], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def test_run_serves_the_command_and_passes_its_status_on(tmp_path):
    script = ("import sys, ollama; print(ollama.Client().chat(model='qwen3:30b', "
              "messages=[{'role': 'user', 'content': sys.argv[1]}]).message.content); sys.exit(3)")
    ready = tmp_path / "url"
    proc = _python("-m", "quorvel.offline_model", "--port", "0", "--ready-file", str(ready),
                   "--run", sys.executable, "-c", script, QUESTION)
    out, err = proc.communicate(timeout=50)
    assert proc.returncode == 3, err
    assert out == expected_answer(QUESTION) + "\n"
    assert "listening on " + ready.read_text().strip() in err
    with pytest.raises(ConnectionError):
        ollama.Client(host=ready.read_text().strip()).list()


def test_standalone_server_prints_its_address_and_stops_on_sigterm():
    proc = _python("-m", "quorvel.offline_model", "--port", "0")
    try:
        url = proc.stdout.readline().split("listening on ")[1].strip()
        assert url.startswith("http://127.0.0.1:") and ollama.Client(host=url).list().models
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
        proc.communicate()
