"""Several behavior trees stream a language model's answers at once, from asyncio.

Each tree creates an agent, then streams its answer inside an async action guarded by a
Timeout (a stalled stream is cancelled) and a RetryUntilSuccessful (and tried again). The
trees run concurrently on one event loop; every token is printed as it comes, tagged by the
tree it belongs to. One run is cancelled mid-stream: its tree is halted but kept, and runs
again to the end afterwards.

Offline, against the bundled model server:

    python -m quorvel.offline_model --port 0 --run python examples/streaming_agents.py

With a real Ollama server, set OLLAMA_HOST (and pull qwen3:30b) and run the program directly.
"""

from __future__ import annotations

import asyncio
import os

# agno reports every run to its vendor unless told not to; this program talks to the model
# server alone.
os.environ.setdefault("AGNO_TELEMETRY", "false")

from agno.agent import Agent  # noqa: E402
from agno.models.ollama import Ollama  # noqa: E402

from quorvel.core import NodeStatus  # noqa: E402
from quorvel.nodes.action_node import SimpleActionNode  # noqa: E402
from quorvel.runtime import Runtime  # noqa: E402

TREE = """
<root BTCPP_format="4">
  <BehaviorTree ID="Reporter">
    <Sequence>
      <CreateAgent model_id="qwen3:30b" agent="{agent}"
                   description="You are an enthusiastic news reporter with a flair for storytelling!"/>
      <RetryUntilSuccessful num_attempts="3">
        <Timeout msec="60000">
          <StreamAnswer agent="{agent}" question="{question}" tag="{tag}" answer="{answer}"/>
        </Timeout>
      </RetryUntilSuccessful>
    </Sequence>
  </BehaviorTree>
</root>
"""

QUESTIONS = {"shanghai": "中国上海的新闻", "beijing": "中国北京的新闻", "shenzhen": "中国深圳的新闻"}
CANCELLED = "shenzhen"  # its first run is cancelled after a few tokens
TOKENS_BEFORE_CANCEL = 5


class CreateAgent(SimpleActionNode):
    ports = [
        {"name": "model_id", "type": "string", "direction": "input", "description": "model to ask"},
        {"name": "description", "type": "string", "direction": "input", "description": "the agent's role"},
        {"name": "agent", "type": "object", "direction": "output", "description": "the agent made"},
    ]

    @staticmethod
    def tick(node):
        model = Ollama(id=node.getInputString("model_id"), host=os.environ.get("OLLAMA_HOST"))
        node.setOutput("agent", Agent(model=model, description=node.getInputString("description"), markdown=True))
        return NodeStatus.SUCCESS


# Tokens each tree has printed in its current run; the main program watches it to cancel one
# run mid-stream. The action runs on the awaiting event loop, so no lock is needed.
progress: dict[str, int] = {}
token_arrived = asyncio.Event()


class StreamAnswer(SimpleActionNode):
    ports = [
        {"name": "agent", "type": "object", "direction": "input", "description": "who answers"},
        {"name": "question", "type": "string", "direction": "input", "description": "what is asked"},
        {"name": "tag", "type": "string", "direction": "input", "description": "printed before each token"},
        {"name": "answer", "type": "string", "direction": "output", "description": "the whole answer"},
    ]

    @staticmethod
    async def tick(node):
        tag = node.getInputString("tag")
        progress[tag] = 0
        pieces = []
        try:
            stream = await node.getInputObject("agent").arun(node.getInputString("question"), stream=True)
            async for chunk in stream:
                if not chunk.content:
                    continue
                pieces.append(chunk.content)
                progress[tag] += 1
                token_arrived.set()
                print(f"[{tag}] {chunk.content!r}", flush=True)
        except asyncio.CancelledError:
            print(f"[{tag}] -- stream cancelled after {len(pieces)} tokens", flush=True)
            raise
        node.setOutput("answer", "".join(pieces))
        return NodeStatus.SUCCESS


async def main() -> None:
    with Runtime() as rt:
        rt.register_action(CreateAgent)
        rt.register_action(StreamAnswer)
        handles = {}
        for tag, question in QUESTIONS.items():
            h = rt.load(TREE, name=tag)
            h.blackboard["question"] = question
            h.blackboard["tag"] = tag
            handles[tag] = h

        runs = {tag: asyncio.create_task(h.arun(until="success", timeout=120)) for tag, h in handles.items()}

        # Cancel one run mid-stream: the task's cancellation halts the tree (the stream's
        # coroutine sees CancelledError) and keeps it.
        while progress.get(CANCELLED, 0) < TOKENS_BEFORE_CANCEL:
            token_arrived.clear()
            await token_arrived.wait()
        runs[CANCELLED].cancel()
        try:
            await runs[CANCELLED]
        except asyncio.CancelledError:
            kept = handles[CANCELLED]
            print(f"[{CANCELLED}] -- run cancelled; tree kept ({kept.snapshot()['status']}), "
                  f"its agent still on the blackboard: {kept.blackboard['agent'] is not None}", flush=True)
        runs[CANCELLED] = asyncio.create_task(handles[CANCELLED].arun(until="success", timeout=120))

        for tag, task in runs.items():
            result = await task
            answer = handles[tag].blackboard["answer"]
            print(f"\n=== {tag}: {result.reason} after {result.ticks} ticks, {len(answer)} characters ===")
            print(answer, flush=True)


if __name__ == "__main__":
    asyncio.run(main())
