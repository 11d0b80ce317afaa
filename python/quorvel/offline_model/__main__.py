"""Command line: python -m quorvel.offline_model [--port N] [--delay S] [--run CMD ...]

Without --run the server prints its address on standard output ("listening on URL")
and serves until interrupted (Ctrl-C or SIGTERM). With --run it serves only while CMD
runs, hands CMD the address in OLLAMA_HOST, and exits with CMD's status; the address then
goes to standard error so that CMD's standard output stays its own.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import threading

from .server import MODEL_NAME, OfflineModelServer


def _parse(argv):
    parser = argparse.ArgumentParser(
        prog="python -m quorvel.offline_model",
        description="Offline stand-in for an Ollama server hosting %s." % MODEL_NAME)
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=11434, help="port; 0 picks a free one (default 11434)")
    parser.add_argument("--delay", type=float, default=0.02,
                        help="seconds to wait before each streamed word (default 0.02)")
    parser.add_argument("--ready-file", help="write the server's URL to this file once it accepts connections")
    parser.add_argument("--verbose", action="store_true", help="log every request on standard error")
    parser.add_argument("--run", nargs=argparse.REMAINDER, metavar="CMD",
                        help="run CMD against the server, then stop; must come last")
    args = parser.parse_args(argv)
    if args.delay < 0:
        parser.error("--delay must not be negative")
    if not 0 <= args.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    if args.run is not None and not args.run:
        parser.error("--run needs a command")
    return args


def _write_ready_file(path: str, url: str) -> None:
    # Written aside and renamed, so a reader polling for the file never sees half a URL.
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8") as handle:
        handle.write(url + "\n")
    os.replace(partial, path)


def _child_env(url: str) -> dict:
    env = dict(os.environ, OLLAMA_HOST=url)
    # An HTTP proxy configured for the outside world must not swallow loopback traffic.
    for key in ("NO_PROXY", "no_proxy"):
        hosts = [h for h in env.get(key, "").split(",") if h]
        for host in ("127.0.0.1", "localhost", "::1"):
            if host not in hosts:
                hosts.append(host)
        env[key] = ",".join(hosts)
    return env


def _run(command, url: str, stop: threading.Event) -> int:
    if stop.is_set():
        return 128 + signal.SIGTERM
    try:
        child = subprocess.Popen(command, env=_child_env(url))
    except OSError as error:
        print("offline model server: cannot run %s: %s" % (command[0], error), file=sys.stderr)
        return 127
    signal.signal(signal.SIGTERM, lambda *_: child.terminate())
    if stop.is_set():  # terminated while the command was starting
        child.terminate()
    while True:
        try:
            code = child.wait()
            break
        except KeyboardInterrupt:
            # Ctrl-C reaches the whole process group; let the command end its own way.
            continue
    return code if code >= 0 else 128 - code


def main(argv=None) -> int:
    args = _parse(argv)
    # Caught from the start, so a SIGTERM sent as soon as the address is announced still
    # ends the server cleanly.
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        server = OfflineModelServer(args.host, args.port, delay=args.delay, verbose=args.verbose)
    except (OSError, ValueError) as error:
        print("offline model server: cannot listen on %s:%d: %s" % (args.host, args.port, error), file=sys.stderr)
        return 2
    with server:
        line = "offline model server for %s listening on %s" % (MODEL_NAME, server.url)
        if args.ready_file:
            _write_ready_file(args.ready_file, server.url)
        if args.run is not None:
            print(line, file=sys.stderr, flush=True)
            return _run(args.run, server.url, stop)
        print(line, flush=True)
        try:
            while not stop.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
