"""The streaming example, run end to end against the offline model server."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from quorvel.offline_model import expected_answer

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "streaming_agents.py"


@pytest.mark.timeout(120)
def test_the_streaming_example_streams_every_answer_and_reruns_the_cancelled_tree():
    pytest.importorskip("agno")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), AGNO_TELEMETRY="false")
    env.pop("OLLAMA_HOST", None)
    result = subprocess.run([sys.executable, "-m", "quorvel.offline_model", "--port", "0", "--delay", "0.002",
                             "--run", sys.executable, str(EXAMPLE)],
                            env=env, capture_output=True, text=True, timeout=100)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    tokens = {tag: len(re.findall(rf"^\[{tag}\] '", out, re.M)) for tag in ("shanghai", "beijing", "shenzhen")}
    assert min(tokens.values()) > 5, tokens  # streamed as they came, tagged by tree
    assert re.search(r"^\[shenzhen\] -- stream cancelled after \d+ tokens$", out, re.M)
    assert "[shenzhen] -- run cancelled; tree kept (IDLE), its agent still on the blackboard: True" in out
    for tag, question in (("shanghai", "中国上海的新闻"), ("beijing", "中国北京的新闻"), ("shenzhen", "中国深圳的新闻")):
        header = re.search(rf"^=== {tag}: reached after \d+ ticks, \d+ characters ===\n", out, re.M)
        assert header, out
        assert out[header.end():].startswith(expected_answer(question) + "\n")
