"""An HTTP server that answers like an Ollama server hosting one model.

It implements the part of Ollama's API that the `ollama` client and agno use for chat:
GET / and /api/version, /api/tags, /api/ps, POST /api/show and POST /api/chat (streamed as
NDJSON over chunked transfer encoding, or as one JSON object). Bodies, status codes and
error texts follow the real server closely enough that client code cannot tell.

The server binds to loopback addresses only: it exists so the demonstration and the tests
run without a model installed and without touching any network.
"""

from __future__ import annotations

import hashlib
import ipaddress
import json
import socket
import socketserver
import threading
import time
from datetime import datetime, timezone
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, List, Optional, Tuple

from .answer import compose_report, count_tokens, split_words, topic_of

MODEL_NAME = "qwen3:30b"
VERSION = "0.12.6"

# Largest request body accepted; a chat history beyond this is not a demo any more.
MAX_BODY = 16 * 1024 * 1024

_DETAILS = {
    "parent_model": "",
    "format": "gguf",
    "family": "qwen3moe",
    "families": ["qwen3moe"],
    "parameter_size": "30.5B",
    "quantization_level": "Q4_K_M",
}
_SIZE = 18_556_700_761
_DIGEST = hashlib.sha256(MODEL_NAME.encode()).hexdigest()
_MODIFIED_AT = "2025-05-01T12:00:00.000000000Z"


class RequestError(Exception):
    """A request the server refuses; carries the status code and the client-facing text."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


def _timestamp() -> str:
    now = time.time_ns()
    stamp = datetime.fromtimestamp(now // 1_000_000_000, tz=timezone.utc)
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + ".%09dZ" % (now % 1_000_000_000)


def _normalise(name: str) -> str:
    """Ollama's model-name rules: case-insensitive, ':latest' implied, registry prefix optional."""
    name = name.strip().lower()
    for prefix in ("registry.ollama.ai/library/", "library/"):
        if name.startswith(prefix):
            name = name[len(prefix):]
    if ":" not in name.rsplit("/", 1)[-1]:
        name += ":latest"
    return name


def _is_loopback(host: str) -> bool:
    try:
        infos = socket.getaddrinfo(host, None, proto=socket.IPPROTO_TCP)
    except socket.gaierror:
        return False
    return bool(infos) and all(ipaddress.ip_address(info[4][0]).is_loopback for info in infos)


class OfflineModelServer(ThreadingHTTPServer):
    """Serves MODEL_NAME on a loopback address; port 0 picks a free port.

    `delay` is the pause in seconds before each streamed word. Use it as a context
    manager, or call `start()` and `stop()`.
    """

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, delay: float = 0.0,
                 verbose: bool = False):
        if not _is_loopback(host):
            raise ValueError("the offline model server listens on loopback addresses only, not %r" % host)
        if delay < 0:
            raise ValueError("delay must not be negative")
        family, _, _, _, address = socket.getaddrinfo(host, port, proto=socket.IPPROTO_TCP)[0]
        self.address_family = family
        self.delay = delay
        self.verbose = verbose
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._connections: Dict[socket.socket, threading.Thread] = {}
        self._thread: Optional[threading.Thread] = None
        super().__init__(address[:2], _Handler)

    def server_bind(self):
        # HTTPServer.server_bind looks the host name up (getfqdn), which can wait on DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def url(self) -> str:
        host = self.server_address[0]
        if self.address_family == socket.AF_INET6:
            host = "[%s]" % host
        return "http://%s:%d" % (host, self.server_address[1])

    # Track live connections so that stop() can cut idle keep-alive ones short instead
    # of waiting for their read time-out.
    def process_request(self, request, client_address):
        thread = threading.Thread(target=self.process_request_thread, args=(request, client_address),
                                  name="offline-model-conn", daemon=True)
        with self._lock:
            self._connections[request] = thread
        thread.start()

    def shutdown_request(self, request):
        with self._lock:
            self._connections.pop(request, None)
        super().shutdown_request(request)

    def start(self) -> "OfflineModelServer":
        """Serve on a background thread and return at once."""
        if self._thread is None:
            self._thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05},
                                            name="offline-model-server", daemon=True)
            self._thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Stop accepting, end every open connection and release the port."""
        self.stopping.set()
        if self._thread is not None:
            self.shutdown()
            self._thread.join(timeout)
            self._thread = None
        with self._lock:
            connections = list(self._connections.items())
        for sock, _ in connections:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        for _, thread in connections:
            thread.join(max(0.0, deadline - time.monotonic()))
        self.server_close()

    def __enter__(self) -> "OfflineModelServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OfflineOllama/" + VERSION
    # An idle keep-alive connection is dropped after this many seconds.
    timeout = 60

    server: OfflineModelServer

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)

    # -- routing ---------------------------------------------------------------------

    def do_GET(self):
        self._dispatch("GET")

    def do_HEAD(self):
        self._dispatch("HEAD")

    def do_POST(self):
        self._dispatch("POST")

    def do_PUT(self):
        self._dispatch("PUT")

    def do_DELETE(self):
        self._dispatch("DELETE")

    def do_PATCH(self):
        self._dispatch("PATCH")

    def _dispatch(self, method: str):
        path = self.path.split("?", 1)[0].rstrip("/") or "/"
        route = _ROUTES.get((method, path))
        started = time.monotonic_ns()
        try:
            if route is None:
                # Like the real server: an unknown path or method is a plain-text 404.
                self._discard_body()
                self._send(HTTPStatus.NOT_FOUND, b"404 page not found", "text/plain")
                return
            route(self, started)
        except RequestError as error:
            self._send_json(error.status, {"error": error.message})
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception as error:  # a bug here must cost one request, not the server
            self.close_connection = True
            try:
                self._send_json(HTTPStatus.INTERNAL_SERVER_ERROR, {"error": "internal error: %s" % error})
            except OSError:
                pass

    # -- request bodies --------------------------------------------------------------

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            return self._read_chunked()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            size = int(length)
        except ValueError:
            size = -1
        if size < 0:
            self.close_connection = True
            raise RequestError(HTTPStatus.BAD_REQUEST, "invalid Content-Length header")
        if size > MAX_BODY:
            self.close_connection = True
            raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "request body too large")
        return self.rfile.read(size)

    def _read_chunked(self) -> bytes:
        body = bytearray()
        while True:
            line = self.rfile.readline(1024)
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                self.close_connection = True
                raise RequestError(HTTPStatus.BAD_REQUEST, "malformed chunked request body") from None
            if size == 0:
                while self.rfile.readline(1024).strip():
                    pass
                return bytes(body)
            if size < 0 or len(body) + size > MAX_BODY:
                self.close_connection = True
                raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "request body too large")
            body += self.rfile.read(size)
            self.rfile.readline(1024)

    def _discard_body(self):
        try:
            self._read_body()
        except RequestError:
            pass

    def _json_body(self) -> Dict[str, Any]:
        raw = self._read_body()
        if not raw.strip():
            raise RequestError(HTTPStatus.BAD_REQUEST, "missing request body")
        try:
            body = json.loads(raw)
        except (UnicodeDecodeError, ValueError) as error:
            raise RequestError(HTTPStatus.BAD_REQUEST, "invalid JSON in request body: %s" % error) from None
        if not isinstance(body, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "request body must be a JSON object")
        return body

    def _model_of(self, body: Dict[str, Any]) -> str:
        name = body.get("model") or body.get("name")
        if name is None or name == "":
            raise RequestError(HTTPStatus.BAD_REQUEST, "model is required")
        if not isinstance(name, str):
            raise RequestError(HTTPStatus.BAD_REQUEST, "model must be a string")
        return name

    # -- responses -------------------------------------------------------------------

    def _send(self, status: int, payload: bytes, content_type: str):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(payload)

    def _send_json(self, status: int, obj: Any):
        self._send(status, json.dumps(obj, ensure_ascii=False).encode("utf-8"),
                   "application/json; charset=utf-8")

    def _write_chunk(self, data: bytes):
        self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))

    # -- endpoints -------------------------------------------------------------------

    def _root(self, started):
        self._send(HTTPStatus.OK, b"Ollama is running", "text/plain; charset=utf-8")

    def _version(self, started):
        self._send_json(HTTPStatus.OK, {"version": VERSION})

    def _tags(self, started):
        self._send_json(HTTPStatus.OK, {"models": [{
            "name": MODEL_NAME,
            "model": MODEL_NAME,
            "modified_at": _MODIFIED_AT,
            "size": _SIZE,
            "digest": _DIGEST,
            "details": _DETAILS,
        }]})

    def _ps(self, started):
        self._send_json(HTTPStatus.OK, {"models": []})

    def _show(self, started):
        body = self._json_body()
        name = self._model_of(body)
        if _normalise(name) != MODEL_NAME:
            raise RequestError(HTTPStatus.NOT_FOUND, "model '%s' not found" % name)
        self._send_json(HTTPStatus.OK, {
            "license": "Apache License 2.0",
            "modelfile": "# Modelfile generated by the offline model server\nFROM %s\n" % MODEL_NAME,
            "parameters": "temperature 0.6\ntop_k 20\ntop_p 0.95",
            "template": "{{ .Prompt }}",
            "details": _DETAILS,
            "model_info": {
                "general.architecture": "qwen3moe",
                "general.parameter_count": 30_532_122_624,
                "qwen3moe.context_length": 40960,
            },
            "capabilities": ["completion", "tools", "thinking"],
            "modified_at": _MODIFIED_AT,
        })

    def _chat(self, started):
        body = self._json_body()
        name = self._model_of(body)
        messages = body.get("messages")
        if messages is None:
            messages = []
        if not isinstance(messages, list) or not all(isinstance(m, dict) for m in messages):
            raise RequestError(HTTPStatus.BAD_REQUEST, "messages must be a list of objects")
        for message in messages:
            content = message.get("content")
            if not isinstance(message.get("role"), str) or not (content is None or isinstance(content, str)):
                raise RequestError(HTTPStatus.BAD_REQUEST,
                                   "each message needs a string role and a string content")
        stream = body.get("stream", True)
        if not isinstance(stream, bool):
            raise RequestError(HTTPStatus.BAD_REQUEST, "stream must be true or false")
        options = body.get("options") or {}
        if not isinstance(options, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "options must be an object")
        if _normalise(name) != MODEL_NAME:
            # json.dumps quotes the name the way Go's %q does for ordinary names.
            raise RequestError(HTTPStatus.NOT_FOUND,
                               "model %s not found, try pulling it first" % json.dumps(name, ensure_ascii=False))

        if not messages:
            # An empty chat only loads the model, as with the real server.
            self._send_json(HTTPStatus.OK, {"model": name, "created_at": _timestamp(),
                                            "message": {"role": "assistant", "content": ""},
                                            "done": True, "done_reason": "load"})
            return

        pieces = split_words(compose_report(topic_of(messages)))
        done_reason = "stop"
        limit = options.get("num_predict")
        if isinstance(limit, int) and not isinstance(limit, bool) and 0 <= limit < len(pieces):
            pieces, done_reason = pieces[:limit], "length"
        loaded = time.monotonic_ns()
        counters = {
            "prompt_eval_count": count_tokens(m.get("content") or "" for m in messages),
            "eval_count": len(pieces),
        }

        if not stream:
            first = time.monotonic_ns()
            reply = self._final(name, "".join(pieces), done_reason, counters, started, loaded, first)
            self._send_json(HTTPStatus.OK, reply)
            return

        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "application/x-ndjson")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        first = None
        for piece in pieces:
            if self.server.delay:
                if self.server.stopping.wait(self.server.delay):
                    self.close_connection = True
                    return
            if first is None:
                first = time.monotonic_ns()
            chunk = {"model": name, "created_at": _timestamp(),
                     "message": {"role": "assistant", "content": piece}, "done": False}
            self._write_chunk(json.dumps(chunk, ensure_ascii=False).encode("utf-8") + b"\n")
        final = self._final(name, "", done_reason, counters, started, loaded, first or time.monotonic_ns())
        self._write_chunk(json.dumps(final, ensure_ascii=False).encode("utf-8") + b"\n")
        self.wfile.write(b"0\r\n\r\n")

    @staticmethod
    def _final(name, content, done_reason, counters, started, loaded, first) -> Dict[str, Any]:
        end = time.monotonic_ns()
        return {
            "model": name,
            "created_at": _timestamp(),
            "message": {"role": "assistant", "content": content},
            "done": True,
            "done_reason": done_reason,
            "total_duration": end - started,
            "load_duration": loaded - started,
            "prompt_eval_count": counters["prompt_eval_count"],
            "prompt_eval_duration": max(0, first - loaded),
            "eval_count": counters["eval_count"],
            "eval_duration": max(0, end - first),
        }


_ROUTES: Dict[Tuple[str, str], Any] = {
    ("GET", "/"): _Handler._root,
    ("HEAD", "/"): _Handler._root,
    ("GET", "/api/version"): _Handler._version,
    ("GET", "/api/tags"): _Handler._tags,
    ("GET", "/api/ps"): _Handler._ps,
    ("POST", "/api/show"): _Handler._show,
    ("POST", "/api/chat"): _Handler._chat,
}


def expected_answer(question: str) -> str:
    """The full text the server streams for a chat whose last user message is `question`."""
    return compose_report(topic_of([{"role": "user", "content": question}]))


def answer_pieces(question: str) -> List[str]:
    """The streamed pieces for `question`, in order."""
    return split_words(expected_answer(question))
