"""The modern way to run many behavior trees: handles, asyncio, cancellation that keeps the
tree, timeouts, streaming of tick events, and actions written as coroutines.

::

    from quorvel.runtime import Runtime

    with Runtime() as rt:
        rt.register_action(fetch, "Fetch", ports=[...])
        h = rt.load(xml_text)
        h.blackboard["goal"] = 3
        result = h.run(until="success", timeout=5.0)     # or: await h.arun(...)
        result.status, result.ticks, result.reason

See docs/runtime.md for the semantics pinned down (cancellation, blackboard during a run,
events, errors).
"""

from quorvel.runtime.errors import (BehaviorTreeError, HandleClosedError, LoadError, PortError,
                                    RunInProgressError, TickError, TreeLimitError)
from quorvel.runtime.events import EventStream
from quorvel.runtime.handle import Blackboard, TreeHandle
from quorvel.runtime.runtime import Runtime
from quorvel.runtime.worker import RunResult

__all__ = ["BehaviorTreeError", "Blackboard", "EventStream", "HandleClosedError", "LoadError", "PortError",
           "RunInProgressError", "RunResult", "Runtime", "TickError", "TreeHandle", "TreeLimitError"]
