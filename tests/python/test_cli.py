"""The quorvel command: problems located as file:line:column, suggestions, exit statuses."""

import io
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import urllib.request

import pytest

import quorvel
from quorvel import cli, record

pytestmark = pytest.mark.timeout(60)


def tree(body, tree_id="Main"):
    """A document whose body starts on line 3, indented by 4: positions in it are easy to count."""
    body = textwrap.indent(textwrap.dedent(body).strip(), "    ")
    return (f'<root BTCPP_format="4" main_tree_to_execute="{tree_id}">\n  <BehaviorTree ID="{tree_id}">\n'
            f"{body}\n  </BehaviorTree>\n</root>\n")


def quorvel_cmd(*argv):
    out = io.StringIO()
    status = cli.run([str(a) for a in argv], out=out)
    return status, out.getvalue()


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


BROKEN = {
    "type.xml": ("<Sequence>\n  <Slep msec='1'/>\n</Sequence>",
                 "type.xml:4:7: unknown node type 'Slep' (did you mean 'Sleep'?)"),
    "deep/port.xml": ("<Sequence>\n      <Sleep msex='1'/>\n</Sequence>",
                      "deep/port.xml:4:11: node 'Sleep' (Sleep): port 'msex' not declared by node type 'Sleep' "
                      "(did you mean 'msec'?)"),
    "xml.xml": ("<Sequence>\n  <Sleep msec='1'>\n</Sequence>", "xml.xml:5:7: malformed XML: mismatched tag"),
    "script.xml": ("<Script code='x := (1 + '/>",
                   "script.xml:3:5: node 'Script' (Script, line 3), attribute 'code', column 11: "
                   "expected an expression but found end of script"),
    "required.xml": ("<SetBlackboard value='1'/>",
                     "required.xml:3:5: node 'SetBlackboard' (SetBlackboard, line 3): port 'output_key' is required"),
}


def test_check_reports_the_first_problem_of_each_broken_file_with_its_place(here, capsys):
    for name, (body, _) in BROKEN.items():
        (here / "trees" / name).parent.mkdir(parents=True, exist_ok=True)
        (here / "trees" / name).write_text(tree(body))
    (here / "trees" / "fine.xml").write_text(tree("<Sleep msec='1'/>"))
    (here / "trees" / "notes.txt").write_text("not a tree")
    status, out = quorvel_cmd("check", "trees")
    assert status == 1
    assert out.splitlines() == sorted("trees/" + line for _, line in BROKEN.values())
    assert "6 files checked, 5 with problems" in capsys.readouterr().err


def test_check_warns_of_editor_attributes_and_ports_nothing_gives_but_passes(here):
    (here / "t.xml").write_text(tree("""
        <Sequence _collapsed="true">
          <Sleep/>
          <Parallel><AlwaysSuccess/></Parallel>
        </Sequence>"""))
    status, out = quorvel_cmd("check", "t.xml")
    assert status == 0
    assert out.splitlines() == [
        "t.xml:3:5: warning: attributes the engine does not know, kept as editor metadata: "
        "'_collapsed' on node 'Sequence' (Sequence)",
        # Parallel's ports have defaults: no warning for them.
        "t.xml:4:7: warning: node 'Sleep' (Sleep) gives no value to port 'msec', which has no default",
    ]


def test_a_problem_in_an_included_file_is_reported_there(here):
    (here / "lib.xml").write_text(tree("<Sequence>\n  <Sleeep msec='1'/>\n</Sequence>", "Lib"))
    (here / "main.xml").write_text(tree("<SubTree ID='Lib'/>").replace(
        '<BehaviorTree', '<include path="lib.xml"/>\n  <BehaviorTree', 1))
    status, out = quorvel_cmd("check", "main.xml")
    assert (status, out) == (1, "lib.xml:4:7: unknown node type 'Sleeep' (did you mean 'Sleep'?)\n")


THIRD_PARTY = tree("""
    <Sequence>
      <MoveBase goal="{goal}" speed="0.5"/>
      <Action ID="Dock" station="A"/>
      <ComputePath start="{pose}" path="{path}"/>
    </Sequence>""")


def test_stub_unknown_lets_third_party_trees_be_checked_drawn_and_run(here):
    (here / "nav.xml").write_text(THIRD_PARTY)
    assert quorvel_cmd("check", "nav.xml") == (1, "nav.xml:4:7: unknown node type 'MoveBase'\n")
    assert quorvel_cmd("check", "--stub-unknown", "nav.xml") == (0, "")
    status, picture = quorvel_cmd("render", "nav.xml", "--stub-unknown")
    assert status == 0 and picture.splitlines() == ["Sequence", "├── MoveBase", "├── Dock", "└── ComputePath"]
    assert quorvel_cmd("run", "nav.xml", "--stub-unknown")[0] == 0


def test_actions_modules_register_the_applications_nodes(here):
    (here / "robot.py").write_text(textwrap.dedent("""\
        from quorvel.core import NodeStatus

        def register(factory):
            factory.register_simple_action(
                "Charge", lambda node: NodeStatus.SUCCESS if node.getInputString("level") == "full"
                else NodeStatus.FAILURE,
                [{"name": "level", "type": "string", "direction": "input", "description": ""}])
        """))
    (here / "nothing.py").write_text("x = 1\n")
    (here / "t.xml").write_text(tree('<Charge level="full"/>'))
    (here / "f.xml").write_text(tree('<Charge level="low"/>'))
    assert quorvel_cmd("check", "--actions", "robot.py", "t.xml") == (0, "")
    assert quorvel_cmd("run", "--actions", "robot.py", "t.xml")[0] == 0
    assert quorvel_cmd("run", "--actions", "robot.py", "f.xml")[0] == 1
    assert quorvel_cmd("nodes", "Charge", "--actions", "robot.py")[1].startswith("Charge (action)\n  input  level")
    assert quorvel_cmd("check", "--actions", "nothing.py", "t.xml")[0] == 2
    assert quorvel_cmd("check", "--actions", "no_such_module_here", "t.xml")[0] == 2


def test_nodes_lists_every_type_and_explains_one(capsys):
    status, listing = quorvel_cmd("nodes")
    from quorvel.core import BehaviorTreeFactory

    assert status == 0
    assert [line.split()[0] for line in listing.splitlines()] == BehaviorTreeFactory().registered_types()
    assert "Sleep                      action     msec" in listing.splitlines()
    status, detail = quorvel_cmd("nodes", "Parallel")
    assert status == 0 and "input  failure_count: int = '1'" in detail
    assert quorvel_cmd("nodes", "Paralel") == (2, "")
    assert "unknown node type 'Paralel' (did you mean 'Parallel' or 'ParallelAll'?)" in capsys.readouterr().err


def test_render_writes_each_format_and_reports_load_errors(here, capsys):
    (here / "t.xml").write_text(tree("<Sequence><Sleep msec='1'/><AlwaysFailure/></Sequence>"))
    assert quorvel_cmd("render", "t.xml", "--format", "dot", "-o", "t.dot") == (0, "")
    assert (here / "t.dot").read_text().startswith("digraph")
    assert quorvel_cmd("render", "t.xml", "--format", "mermaid")[1].startswith("flowchart TD")
    if shutil.which("dot"):
        status, svg = quorvel_cmd("render", "t.xml", "--format", "svg")
        assert status == 0 and "<svg" in svg
    (here / "bad.xml").write_text(tree("<Sequence><AlwaysSucess/></Sequence>"))
    assert quorvel_cmd("render", "bad.xml") == (2, "")
    assert "bad.xml:3:15: unknown node type 'AlwaysSucess' (did you mean 'AlwaysSuccess'?)" in capsys.readouterr().err


def test_run_exits_by_the_trees_result_and_traces_and_records(here):
    (here / "ok.xml").write_text(tree("<Sequence><Script code='n := 1'/><Sleep msec='1'/></Sequence>"))
    (here / "no.xml").write_text(tree("<Sequence><AlwaysSuccess/><AlwaysFailure/></Sequence>"))
    status, trace = quorvel_cmd("run", "ok.xml", "--trace", "--record", "run.jsonl")
    assert status == 0
    assert "Sleep: IDLE -> RUNNING" in trace and trace.splitlines()[-1].endswith("Sequence: RUNNING -> SUCCESS")
    recording = record.load(here / "run.jsonl")
    assert recording.snapshot(recording.last_tick)["status"] in ("SUCCESS", "IDLE")
    assert quorvel_cmd("run", "no.xml")[0] == 1
    assert quorvel_cmd("run", "missing.xml")[0] == 2


def test_run_errors_explain_arithmetic_on_text(here, capsys):
    (here / "label.xml").write_text(tree("""<Script code="label := 'lap ' * 2"/>"""))
    assert quorvel_cmd("run", "label.xml") == (2, "")
    assert capsys.readouterr().err.endswith(
        "'lap ' is no number (in \"'lap ' * 2\") (hint: '..' joins texts; only '+' also joins a text "
        "that is no number)\n")


def test_run_until_a_result_that_never_comes_times_out_with_status_2(here, capsys):
    (here / "loop.xml").write_text(tree("<KeepRunningUntilFailure><Sleep msec='5'/></KeepRunningUntilFailure>"))
    assert quorvel_cmd("run", "loop.xml", "--timeout", "0.2") == (2, "")
    assert "loop.xml: no result after 0.2 s; halted" in capsys.readouterr().err
    (here / "flip.xml").write_text(tree("<AlwaysSuccess/>"))
    assert quorvel_cmd("run", "flip.xml", "--until", "failure", "--timeout", "0.2")[0] == 2


def test_the_command_runs_as_a_program():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-m", "quorvel", "--version"], env=env,
                            capture_output=True, text=True, timeout=30)
    assert (result.returncode, result.stdout) == (0, f"quorvel {quorvel.__version__}\n")
    result = subprocess.run([sys.executable, "-m", "quorvel", "check", "nowhere.xml"], env=env,
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and result.stderr == "quorvel check: nowhere.xml: no such file or directory\n"


def test_monitor_serves_a_recording_until_interrupted(here):
    (here / "ok.xml").write_text(tree("<Sleep msec='1'/>"))
    assert quorvel_cmd("run", "ok.xml", "--record", "run.jsonl")[0] == 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-m", "quorvel", "monitor", "run.jsonl"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = proc.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:"), proc.stderr.read() if proc.poll() is not None else url
        with urllib.request.urlopen(url, timeout=10) as page:
            assert page.status == 200
    finally:
        proc.send_signal(signal.SIGINT)  # the monitor closes and the command ends normally
        assert proc.wait(timeout=10) == 0
