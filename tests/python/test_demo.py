"""The demonstration program and its two agent nodes.

End-to-end runs go through a subprocess against the offline model server; the other tests
run the program's main block in-process with a fake `agno`, so they need no network and
can look inside the trees.
"""

import gc
import os
import runpy
import socket
import subprocess
import sys
import threading
import types
import warnings

import pytest

from quorvel.offline_model import expected_answer

pytestmark = pytest.mark.timeout(120)

MODULE = "quorvel.engine.trigger.mthread"
QUESTIONS = ("中国上海的新闻", "中国北京的新闻")
DESCRIPTION = "You are an enthusiastic news reporter with a flair for storytelling!"


def run_python(*args, **env):
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), AGNO_TELEMETRY="false")
    full_env.pop("OLLAMA_HOST", None)
    full_env.update(env)
    return subprocess.run([sys.executable, *args], env=full_env, capture_output=True, text=True, timeout=100)


def test_demo_streams_both_answers_from_the_offline_server():
    pytest.importorskip("agno")
    result = run_python("-m", "quorvel.offline_model", "--port", "0", "--delay", "0.001",
                        "--run", sys.executable, "-m", MODULE)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "".join(expected_answer(q) + "\n" for q in QUESTIONS)
    assert "初始化线程引擎" in result.stderr and "停止所有行为树" in result.stderr


def test_demo_without_a_model_server_says_so_in_one_line():
    pytest.importorskip("agno")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    result = run_python("-m", MODULE, OLLAMA_HOST="http://127.0.0.1:%d" % port)
    assert (result.returncode, result.stdout) == (1, "")
    assert "Traceback" not in result.stderr and "停止所有行为树" in result.stderr
    assert result.stderr.splitlines()[-1] == \
        "cannot reach the model server at http://127.0.0.1:%d: Connection refused" % port


def test_demo_without_agno_says_which_extra_to_install():
    # None in sys.modules makes every import of agno fail, as on an install without the extra.
    result = run_python("-c", "import runpy, sys; sys.modules['agno'] = None; "
                              "runpy.run_module(%r, run_name='__main__')" % MODULE)
    assert (result.returncode, result.stdout) == (1, "")
    assert "Traceback" not in result.stderr and "pip install 'quorvel[demo]'" in result.stderr


def test_importing_the_module_defines_no_demo_and_imports_no_agno():
    result = run_python("-c", "import sys, %s as m; assert not hasattr(m, 'GetStreamResponse'); "
                              "assert not [n for n in sys.modules if n.split('.')[0] == 'agno']" % MODULE)
    assert result.returncode == 0, result.stderr


class FakeAgno:
    """Stands in for agno, recording every model, agent and run it hands out."""

    def __init__(self, monkeypatch):
        self.models, self.agents, self.runs, self.fail_in = [], [], [], None
        fake = self

        class Ollama:
            def __init__(self, **kwargs):
                self.kwargs = kwargs
                fake.models.append(self)

        class Agent:
            def __init__(self, **kwargs):
                self.kwargs = kwargs
                fake.agents.append(self)

            def run(self, *args, **kwargs):
                if fake.fail_in == "run":
                    raise RuntimeError("agent run refused")
                stream = FakeStream(self, args[0], fake.fail_in == "stream")
                fake.runs.append((self, args, kwargs, stream))
                return stream

        for name, module in {"agno": types.ModuleType("agno"), "agno.models": types.ModuleType("agno.models"),
                             "agno.agent": types.SimpleNamespace(Agent=Agent, RunResponse=object),
                             "agno.models.ollama": types.SimpleNamespace(Ollama=Ollama)}.items():
            monkeypatch.setitem(sys.modules, name, module)
        monkeypatch.setenv("AGNO_TELEMETRY", "false")  # the demo would set it for the whole test run

    def run_demo(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the module may already be imported
            return runpy.run_module(MODULE, run_name="__main__")


class FakeStream:
    def __init__(self, agent, question, fail):
        self.agent, self.question, self.fail, self.read = agent, question, fail, False

    def __iter__(self):
        self.read = True
        yield types.SimpleNamespace(content="news ")
        if self.fail:
            raise ConnectionError("model server went away")
        yield types.SimpleNamespace(content="about " + self.question)


@pytest.fixture
def fake_agno(monkeypatch):
    yield FakeAgno(monkeypatch)
    # The demo's engine lives in a reference cycle through its module globals; finalise it
    # now, while this test's output capture is still open for its log lines.
    gc.collect()


def test_demo_program_with_one_agent_per_tree(fake_agno, capsys):
    before = threading.active_count()
    fake_agno.run_demo()
    assert capsys.readouterr().out == "news about 中国上海的新闻\nnews about 中国北京的新闻\n"
    assert threading.active_count() == before
    assert [m.kwargs for m in fake_agno.models] == [{"id": "qwen3:30b"}] * 2
    assert [a.kwargs for a in fake_agno.agents] == [
        {"model": m, "description": DESCRIPTION, "markdown": True} for m in fake_agno.models]
    assert [run[:3] for run in fake_agno.runs] == [
        (agent, (q,), {"stream": True}) for agent, q in zip(fake_agno.agents, QUESTIONS)]


def test_demo_stops_its_trees_before_an_error_leaves(fake_agno, capsys):
    fake_agno.fail_in = "run"
    before = threading.active_count()
    with pytest.raises(RuntimeError):
        fake_agno.run_demo()
    # Worker threads are not daemons: one left over would keep the process alive.
    assert threading.active_count() == before


def test_demo_losing_the_server_mid_stream_stops_its_trees_and_names_it(fake_agno, capsys, monkeypatch):
    monkeypatch.setenv("OLLAMA_HOST", "http://models.invalid:11434")
    fake_agno.fail_in = "stream"
    before = threading.active_count()
    with pytest.raises(SystemExit) as exit_info:
        fake_agno.run_demo()
    assert exit_info.value.code == 1 and threading.active_count() == before
    assert capsys.readouterr().err.splitlines()[-1] == \
        "cannot reach the model server at http://models.invalid:11434: model server went away"


TWO_NODES = """
<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence>
  <CreateAgentOllama model_id="qwen3:30b" description="a reporter" agent="{agent}"/>
  <GetStreamResponse agent="{agent}" instructions="{instructions}"
                     user_input="{user_input}" response_stream="{response_stream}"/>
</Sequence></BehaviorTree></root>
"""


def test_each_tick_publishes_a_fresh_agent_and_an_unread_stream(fake_agno, capsys):
    demo = fake_agno.run_demo()
    engine = demo["ThreadEngine"]()
    try:
        engine.register_action_class(demo["CreateAgentOllama"], "CreateAgentOllama")
        engine.register_action_class(demo["GetStreamResponse"], "GetStreamResponse")
        tree = engine.create_tree_from_text(TWO_NODES, "t")
        engine.set_blackboard_data(tree, "user_input", "天气")
        del fake_agno.agents[:], fake_agno.runs[:]
        seen = []
        for _ in range(2):
            # "instructions" is never written; reading it must not fail the tick.
            assert engine.tick_once(tree) == demo["NodeStatus"].SUCCESS
            agent = engine.get_blackboard_data(tree, "agent")
            stream = engine.get_blackboard_data(tree, "response_stream")
            assert agent is fake_agno.agents[-1] and stream is fake_agno.runs[-1][3]
            assert stream.agent is agent and not stream.read
            seen.append((agent, stream))
        (agent1, stream1), (agent2, stream2) = seen
        assert agent1 is not agent2 and stream1 is not stream2
        assert agent2.kwargs["description"] == "a reporter"
        assert [run[1:3] for run in fake_agno.runs] == [(("天气",), {"stream": True})] * 2
        # Read on this thread, after the tick that made it has returned.
        assert [c.content for c in stream2] == ["news ", "about 天气"]
    finally:
        engine.stop_all_trees()
