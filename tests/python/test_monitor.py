"""The monitor: who may ask it what, and a real browser watching a tree and a recording."""

import http.client
import json
import shutil
import subprocess
import sys
import threading
import time
from urllib.parse import urlsplit

import pytest

from quorvel import monitor, record
from quorvel.core import BehaviorTreeFactory, NodeStatus

S = NodeStatus
XML = ('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence name="main"><AlwaysSuccess name="first"/>'
       '<Wait name="wait"/><Script code="secret := 42"/></Sequence></BehaviorTree></root>')


class Running:
    """A tree ticked on its own thread; its Wait node stays RUNNING until finish()."""

    def __init__(self):
        self.done = threading.Event()
        self.stop = threading.Event()
        factory = BehaviorTreeFactory()
        factory.register_simple_action("Wait", lambda node: S.SUCCESS if self.done.is_set() else S.RUNNING)
        self.tree = factory.create_tree_from_text(XML)
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self.stop.is_set():
            if self.tree.tick_once() is S.SUCCESS:
                self.stop.wait(30)  # keep the finished tree for the page to see
            time.sleep(0.01)

    def uid(self, name):
        return next(n["uid"] for n in self.tree.layout()["nodes"] if n["name"] == name)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(10)


def get(mon, path, host=None, method="GET"):
    conn = http.client.HTTPConnection(mon.host, mon.port, timeout=10)
    try:
        conn.putrequest(method, path, skip_host=True)
        conn.putheader("Host", host or f"{mon.host}:{mon.port}")
        conn.endheaders()
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


@pytest.fixture
def mon():
    m = monitor.serve()
    yield m
    m.close()


@pytest.mark.timeout(60)
def test_token_host_and_read_only_are_enforced(mon):
    token = f"token={mon.token}"
    assert urlsplit(mon.url).hostname == "127.0.0.1" and token in mon.url
    assert get(mon, f"/?{token}")[0] == 200
    assert get(mon, "/")[0] == 403
    assert get(mon, "/api/trees")[0] == 403
    assert get(mon, f"/api/trees?token={mon.token[:-1]}x")[0] == 403
    assert get(mon, f"/app.js?{token}", host=f"evil.example:{mon.port}")[0] == 403
    assert get(mon, f"/app.js?{token}", host=f"localhost:{mon.port}")[0] == 403
    assert get(mon, f"/api/trees?{token}", method="POST")[0] == 405
    assert get(mon, f"/../../etc/passwd?{token}")[0] == 404


@pytest.mark.timeout(60)
def test_api_lists_live_trees_and_serves_their_state(mon):
    with Running() as run:
        token = f"token={mon.token}"
        trees = json.loads(get(mon, f"/api/trees?{token}")[1])
        mine = next(t for t in trees if t["id"] == str(run.tree.serial))
        assert mine["live"] and mine["root"] == "main"
        layout = json.loads(get(mon, f"/api/layout?tree={mine['id']}&{token}")[1])
        assert layout == json.loads(json.dumps(run.tree.layout()))
        # The monitor learns the blackboard from the ticks it watches, starting with this request.
        assert get(mon, f"/api/state?tree={mine['id']}&{token}")[0] == 200
        run.done.set()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            state = json.loads(get(mon, f"/api/state?tree={mine['id']}&{token}")[1])
            if state["snapshot"]["status"] == "SUCCESS" and state["blackboard"]:
                break
            time.sleep(0.05)
        assert state["blackboard"] == {"secret": 42}
        assert get(mon, f"/api/state?tree=999999&{token}")[0] == 404


@pytest.mark.timeout(60)
def test_command_line_prints_its_url_and_serves_the_recording(tmp_path):
    path = make_recording(tmp_path)
    proc = subprocess.Popen([sys.executable, "-m", "quorvel.monitor", str(path)], stdout=subprocess.PIPE, text=True)
    try:
        url = proc.stdout.readline().strip()
        parts = urlsplit(url)
        conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
        conn.request("GET", f"/api/trees?{parts.query}")
        trees = json.loads(conn.getresponse().read())
        assert trees == [{"id": "rec-0", "label": "run.jsonl", "live": False, "first": 1, "last": 3, "nodes": 3}]
    finally:
        proc.terminate()
        proc.wait(10)


def make_recording(tmp_path):
    factory = BehaviorTreeFactory()
    calls = {"n": 0}

    def work(node):
        calls["n"] += 1
        return S.SUCCESS if calls["n"] >= 3 else S.RUNNING

    factory.register_simple_action("Work", work)
    tree = factory.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                                         '<AlwaysSuccess/><Work name="work"/></Sequence></BehaviorTree></root>')
    path = tmp_path / "run.jsonl"
    with record.Recorder(path, tree):
        tree.tick_n_times(3)
    return path


# ---- in a real browser ----

def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-extensions", "--disable-background-networking"):
        options.add_argument(arg)
    service = webdriver.ChromeService(executable_path=driver_path)
    return webdriver.Chrome(options=options, service=service)


def wait_for(predicate, timeout=20):
    from selenium.common.exceptions import StaleElementReferenceException

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = predicate()
        except StaleElementReferenceException:
            value = None  # the page redrew the element between finding and reading it: look again
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out")


@pytest.mark.timeout(180)
def test_browser_draws_a_running_tree_colours_a_finished_node_and_replays(tmp_path):
    path = make_recording(tmp_path)
    mon = monitor.serve(recordings=[path])
    driver = browser()
    try:
        with Running() as run:
            wait_uid = run.uid("wait")
            driver.get(mon.url)
            select = wait_for(lambda: driver.find_elements("id", "trees"))[0]
            wait_for(lambda: select.find_elements("css selector", f"option[value='{run.tree.serial}']"))
            driver.execute_script(
                "const s = document.getElementById('trees'); s.value = arguments[0];"
                "s.dispatchEvent(new Event('change'));", str(run.tree.serial))
            node = lambda uid: driver.find_elements("css selector", f"svg#tree g#node-{uid}")  # noqa: E731
            wait_for(lambda: node(wait_uid))
            status = lambda uid: node(uid)[0].get_attribute("data-status")  # noqa: E731
            wait_for(lambda: status(wait_uid) == "RUNNING")
            fill = node(wait_uid)[0].find_element("tag name", "rect").value_of_css_property("fill")
            run.done.set()
            wait_for(lambda: status(wait_uid) == "SUCCESS")
            assert node(wait_uid)[0].find_element("tag name", "rect").value_of_css_property("fill") != fill
            wait_for(lambda: "secret" in driver.find_element("id", "blackboard").text)

        # Replay: the recording's Work node runs at ticks 1-2 and succeeds at tick 3.
        driver.execute_script(
            "const s = document.getElementById('trees'); s.value = 'rec-0'; s.dispatchEvent(new Event('change'));")
        slider = wait_for(lambda: [s for s in driver.find_elements("css selector", "input[type=range]#slider")
                                   if s.is_displayed()])[0]
        assert (slider.get_attribute("min"), slider.get_attribute("max")) == ("1", "3")
        for tick, expected in ((1, "RUNNING"), (3, "SUCCESS"), (2, "RUNNING")):
            driver.execute_script(
                "arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'));", slider, tick)
            wait_for(lambda: driver.find_element("id", "tree").get_attribute("data-tick") == str(tick))
            wait_for(lambda: driver.find_element("css selector", "g#node-2").get_attribute("data-status") == expected)
    finally:
        driver.quit()
        mon.close()
