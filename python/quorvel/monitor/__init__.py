"""A live view of the process's trees in the browser, and a player for recordings.

``serve()`` starts a small read-only web server on the loopback interface. Its page lists
the live trees (quorvel.observe.live_trees) and the recordings it was given, draws the chosen
tree as SVG with its own layout (no Graphviz), colours the nodes as transitions arrive
(server-sent events), shows the blackboard and the counters, and replays recordings with a
slider. Everything it serves comes from this package; nothing is fetched from elsewhere.

Blackboards may hold secrets, so: the URL carries a random token that every request must
repeat, requests whose Host is not the address the server listens on are refused (against
DNS rebinding), and nothing can be changed through it.
"""

from __future__ import annotations

import collections
import hmac
import json
import secrets
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from pathlib import Path
from typing import Any
from urllib.parse import parse_qs, urlsplit

from quorvel import record
from quorvel.core import TickReport, Tree
from quorvel.observe import live_trees

__all__ = ["Monitor", "serve"]

_STATIC = {"/": ("index.html", "text/html; charset=utf-8"), "/app.js": ("app.js", "text/javascript; charset=utf-8"),
           "/app.css": ("app.css", "text/css; charset=utf-8")}
_EVENT_BACKLOG = 2000  # lines kept per watched tree for slow pages; older ones are dropped


def _jsonable(value: Any) -> Any:
    try:
        json.dumps(value, allow_nan=False)
        return value
    except (TypeError, ValueError):
        return repr(value)


class _Watch:
    """The monitor's own observer of one tree: keeps the blackboard values it saw written, and
    hands the tick lines to the pages following the tree."""

    def __init__(self, tree: Tree) -> None:
        self.lock = threading.Lock()
        self.blackboard: dict[str, Any] = {}
        self.queues: list[collections.deque[str]] = []
        self.observer = tree.observe(self._on_tick, blackboard=True)

    def _on_tick(self, report: TickReport) -> None:
        writes = report.writes
        line = report.to_json()[:-1].decode() if self.queues else None
        with self.lock:
            for board, key, value in writes:
                self.blackboard[key if board is None else f"{key} (SubTree {board})"] = _jsonable(value)
            if line is not None:
                for q in self.queues:
                    q.append(line)

    def subscribe(self) -> collections.deque[str]:
        q: collections.deque[str] = collections.deque(maxlen=_EVENT_BACKLOG)
        with self.lock:
            self.queues.append(q)
        return q

    def unsubscribe(self, q: collections.deque[str]) -> None:
        with self.lock:
            if q in self.queues:
                self.queues.remove(q)

    def close(self) -> None:
        self.observer.close()


class Monitor:
    """A running monitor server; ``url`` opens its page, ``close()`` stops it."""

    def __init__(self, host: str, port: int, recordings: list[str | Path] | None = None) -> None:
        self.token = secrets.token_urlsafe(24)
        self._recordings = [(str(p), record.load(p)) for p in (recordings or [])]
        self._watches: dict[int, _Watch] = {}
        self._lock = threading.Lock()
        self._closing = threading.Event()
        monitor = self

        class Handler(_Handler):
            owner = monitor

        self._server = ThreadingHTTPServer((host, port), Handler)
        self._server.daemon_threads = True
        bound_host, bound_port = self._server.server_address[:2]
        self.host, self.port = bound_host, bound_port
        shown = f"[{bound_host}]" if ":" in bound_host else bound_host
        self.allowed_hosts = {f"{shown}:{bound_port}"}
        self.url = f"http://{shown}:{bound_port}/?token={self.token}"
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="quorvel-monitor", daemon=True)
        self._thread.start()

    # ---- what the pages ask for ----
    def trees(self) -> list[dict[str, Any]]:
        out = []
        for label, tree in live_trees():
            layout = tree.layout()
            if layout is None:
                continue
            root = layout["nodes"][layout["root"]]
            out.append({"id": str(tree.serial), "label": label, "root": root["name"], "live": True,
                        "nodes": len(layout["nodes"])})
        for i, (path, rec) in enumerate(self._recordings):
            out.append({"id": f"rec-{i}", "label": rec.label or Path(path).name, "live": False,
                        "first": rec.first_tick, "last": rec.last_tick, "nodes": len(rec.layout["nodes"])})
        return out

    def tree(self, tree_id: str) -> Tree | None:
        for _, tree in live_trees():
            if str(tree.serial) == tree_id:
                return tree
        return None

    def recording(self, tree_id: str) -> record.Recording | None:
        if tree_id.startswith("rec-") and tree_id[4:].isdigit() and int(tree_id[4:]) < len(self._recordings):
            return self._recordings[int(tree_id[4:])][1]
        return None

    def watch(self, tree: Tree) -> _Watch:
        with self._lock:
            watch = self._watches.get(tree.serial)
            if watch is None:
                watch = self._watches[tree.serial] = _Watch(tree)
            return watch

    def closing(self) -> bool:
        return self._closing.is_set()

    def close(self) -> None:
        """Stops the server and detaches from every tree; open pages lose their connection."""
        if self._closing.is_set():
            return
        self._closing.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)
        with self._lock:
            for watch in self._watches.values():
                watch.close()
            self._watches.clear()

    def __enter__(self) -> Monitor:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _recording_blackboard(rec: record.Recording, tick: int) -> dict[str, Any]:
    values: dict[str, Any] = {}
    for line in rec.ticks:
        if line["tick"] > tick:
            break
        for entry in line.get("blackboard", ()):
            key = entry["key"] if entry["blackboard"] is None else f"{entry['key']} (SubTree {entry['blackboard']})"
            values[key] = entry.get("value", entry.get("repr"))
    return values


class _Handler(BaseHTTPRequestHandler):
    owner: Monitor
    server_version = "quorvel-monitor"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - quiet by design
        pass

    def _refuse(self, status: HTTPStatus, why: str) -> None:
        body = why.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def _send(self, body: bytes, content_type: str) -> None:
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Content-Security-Policy", "default-src 'self'; style-src 'self'; img-src 'self' data:")
        self.end_headers()
        self.wfile.write(body)

    def _json(self, value: Any) -> None:
        self._send(json.dumps(value).encode(), "application/json")

    def _allowed(self, query: dict[str, list[str]]) -> bool:
        if self.headers.get("Host", "") not in self.owner.allowed_hosts:
            self._refuse(HTTPStatus.FORBIDDEN, "wrong Host")
            return False
        token = query.get("token", [""])[0]
        if not hmac.compare_digest(token.encode(), self.owner.token.encode()):
            self._refuse(HTTPStatus.FORBIDDEN, "missing or wrong token")
            return False
        return True

    def _read_only(self) -> None:
        self._refuse(HTTPStatus.METHOD_NOT_ALLOWED, "the monitor is read-only")

    do_POST = do_PUT = do_DELETE = do_PATCH = _read_only

    def do_GET(self) -> None:  # noqa: N802 - the name http.server calls
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if not self._allowed(query):
            return
        tree_id = query.get("tree", [""])[0]
        try:
            if url.path in _STATIC:
                name, content_type = _STATIC[url.path]
                body = resources.files(__package__).joinpath("static", name).read_bytes()
                if name == "index.html":  # the page passes the token on to its own requests
                    body = body.replace(b"{{TOKEN}}", self.owner.token.encode())
                self._send(body, content_type)
            elif url.path == "/api/trees":
                self._json(self.owner.trees())
            elif url.path == "/api/layout":
                self._layout(tree_id)
            elif url.path == "/api/state":
                self._state(tree_id, query)
            elif url.path == "/api/events":
                self._events(tree_id)
            else:
                self._refuse(HTTPStatus.NOT_FOUND, "no such page")
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def _layout(self, tree_id: str) -> None:
        rec = self.owner.recording(tree_id)
        if rec is not None:
            return self._json(rec.layout)
        tree = self.owner.tree(tree_id)
        if tree is None:
            return self._refuse(HTTPStatus.NOT_FOUND, "no such tree")
        self._json(tree.layout())

    def _state(self, tree_id: str, query: dict[str, list[str]]) -> None:
        rec = self.owner.recording(tree_id)
        if rec is not None:
            try:
                tick = int(query.get("tick", [str(rec.last_tick or 0)])[0])
                snap = rec.snapshot(tick)
            except ValueError as e:
                return self._refuse(HTTPStatus.BAD_REQUEST, str(e))
            return self._json({"snapshot": snap, "blackboard": _recording_blackboard(rec, tick)})
        tree = self.owner.tree(tree_id)
        if tree is None:
            return self._refuse(HTTPStatus.NOT_FOUND, "no such tree")
        watch = self.owner.watch(tree)
        with watch.lock:
            blackboard = dict(watch.blackboard)
        self._json({"snapshot": tree.snapshot(), "blackboard": blackboard})

    def _events(self, tree_id: str) -> None:
        tree = self.owner.tree(tree_id)
        if tree is None:
            return self._refuse(HTTPStatus.NOT_FOUND, "no such tree")
        watch = self.owner.watch(tree)
        del tree  # the page following a tree must not keep it alive
        queue = watch.subscribe()
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        try:
            last_beat = time.monotonic()
            while not self.owner.closing():
                lines = []
                while queue and len(lines) < 200:
                    lines.append(queue.popleft())
                if lines:
                    self.wfile.write(b"data: [" + ",".join(lines).encode() + b"]\n\n")
                    self.wfile.flush()
                elif time.monotonic() - last_beat > 5:
                    self.wfile.write(b": still here\n\n")
                    self.wfile.flush()
                    last_beat = time.monotonic()
                else:
                    time.sleep(0.05)
        finally:
            watch.unsubscribe(queue)


def serve(host: str = "127.0.0.1", port: int = 0, *, recordings: list[str | Path] | None = None) -> Monitor:
    """Starts the monitor on ``host:port`` (a free port for 0) and returns it; ``.url`` is the
    page, with its token. ``recordings`` are files to offer for replay."""
    return Monitor(host, port, recordings)
