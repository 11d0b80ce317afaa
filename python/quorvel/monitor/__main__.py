"""python -m quorvel.monitor [recording.jsonl ...] [--host H] [--port P]: serves the monitor
(with the given recordings to replay) and prints its URL until interrupted."""

from __future__ import annotations

import argparse
import threading

from quorvel.monitor import serve


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m quorvel.monitor", description=__doc__)
    parser.add_argument("recordings", nargs="*", help="recordings (JSON lines) to replay")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port (default: a free one)")
    args = parser.parse_args(argv)
    monitor = serve(args.host, args.port, recordings=args.recordings)
    print(monitor.url, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        monitor.close()


if __name__ == "__main__":
    main()
