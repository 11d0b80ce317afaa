"""quorvel.runtime from asyncio, and actions written as coroutines (in a runtime and under
SequentialEngine)."""

import asyncio
import threading
import time

import pytest

from quorvel.core import NodeStatus
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import StatefulActionNode
from quorvel.nodes.async_action import background_loop
from quorvel.runtime import PortError, RunInProgressError, Runtime

pytestmark = pytest.mark.timeout(60)

S, F, R = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING


def xml(body):
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">\n{body}\n</BehaviorTree></root>'


class Recorder:
    """Coroutine actions that note the loop they ran on and whether they were cancelled."""

    def __init__(self):
        self.loops, self.cancelled = [], []

    async def sleepy(self, node):
        self.loops.append(asyncio.get_running_loop())
        try:
            await asyncio.sleep(float(node.getInputString("seconds")))
        except asyncio.CancelledError:
            self.cancelled.append(node.name)
            raise
        return S


SECONDS = [{"name": "seconds", "type": "string", "direction": "input", "description": ""}]


@pytest.fixture
def rt():
    with Runtime() as runtime:
        yield runtime


def test_awaiting_a_run_leaves_the_loop_free_and_coroutines_run_on_it(rt):
    rec = Recorder()
    rt.register_action(rec.sleepy, "Sleepy", ports=SECONDS)
    h = rt.load(xml('<Sequence><Sleepy seconds="0.05"/><Sleep msec="50"/></Sequence>'))

    async def main():
        beats = 0

        async def heartbeat():
            nonlocal beats
            while True:
                await asyncio.sleep(0.005)
                beats += 1

        beat = asyncio.create_task(heartbeat())
        result = await h.arun()
        status = await h.atick()
        await h.arun()
        beat.cancel()
        return result, status, beats, asyncio.get_running_loop()

    result, status, beats, loop = asyncio.run(main())
    assert (result.status, result.reason) == (S, "reached") and status is R
    assert beats >= 5  # the loop ran on while the tree slept and awaited
    assert rec.loops[0] is loop and rec.loops[1] is loop  # the awaiting loop, for arun and atick
    assert h.run().reason == "reached" and rec.loops[2] is background_loop()  # run from no loop


@pytest.mark.parametrize("how", ["cancel", "asyncio.timeout"])
def test_cancelling_the_awaiting_task_cancels_the_run_and_keeps_the_tree(rt, how):
    rec = Recorder()
    rt.register_action(rec.sleepy, "Sleepy", ports=SECONDS)
    h = rt.load(xml('<Sequence><Sleepy name="long" seconds="30"/><AlwaysSuccess/></Sequence>'))

    async def main():
        if how == "cancel":
            task = asyncio.create_task(h.arun())
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.05):
                    await h.arun()
        assert not h.running and h.snapshot()["status"] == "IDLE"  # halted before the task ended
        await asyncio.sleep(0.05)
        return await h.arun(timeout=0.05)  # kept, and the cancellation did not stick

    assert asyncio.run(main()).reason == "timeout"
    assert rec.cancelled == ["long", "long"]


def test_async_actions_of_every_kind_finish_fail_and_are_cancelled_by_a_timeout(rt):
    log = []

    class Stages(StatefulActionNode):
        ports = []

        async def onStart(self, node):
            await asyncio.sleep(0.01)
            log.append("start")
            return R

        async def onRunning(self, node):
            log.append("running")
            return S

    class Stuck(StatefulActionNode):
        ports = []

        async def onStart(self, node):
            try:
                await asyncio.sleep(30)
            except asyncio.CancelledError:
                log.append("stuck cancelled")
                raise

        def onHalted(self, node):
            log.append("halted")

    async def broken(node):
        await asyncio.sleep(0)
        raise ValueError("bad answer")

    rt.register_action(Stages)
    rt.register_action(Stuck)
    rt.register_action(broken, "Broken")
    h = rt.load(xml('<Sequence><Stages/><Fallback><Timeout msec="50"><Stuck/></Timeout>'
                    '<AlwaysSuccess/></Fallback></Sequence>'))
    assert h.run(timeout=10).reason == "reached"
    for _ in range(500):
        if "stuck cancelled" in log:
            break
        time.sleep(0.01)
    # onHalted runs on the ticking thread, the cancelled coroutine on its loop: either first
    assert log[:2] == ["start", "running"] and sorted(log[2:]) == ["halted", "stuck cancelled"]
    with pytest.raises(ValueError, match="bad answer") as caught:
        rt.load(xml("<Broken/>")).run()
    assert caught.value.__notes__ == ["raised in the tick of node 'Broken' (type Broken, XML line 2)"]


def test_a_coroutine_reads_its_inputs_as_it_starts_and_its_outputs_land_as_it_ends(rt):
    async def shout(node):
        text = node.getInputString("text")
        with pytest.raises(PortError):  # raised where it is read, not at the start
            node.getInputInt("n")
        node.setOutput("out", text.upper())
        await asyncio.sleep(0.01)
        return S

    rt.register_action(shout, "Shout", ports=[
        {"name": "text", "type": "string", "direction": "input"}, {"name": "n", "type": "int"},
        {"name": "out", "type": "any", "direction": "output"}])
    h = rt.load(xml('<Shout text="{t}" n="{never}" out="{o}"/>'))
    h.blackboard["t"] = "hi"
    assert h.tick() is R and "o" not in h.blackboard  # written when its result is taken
    assert h.run().reason == "reached" and h.blackboard["o"] == "HI"


def test_events_can_be_awaited_and_end_with_the_handle(rt):
    h = rt.load(xml('<Sequence><Sleep msec="10"/><AlwaysSuccess name="done"/></Sequence>'))

    async def main():
        names = []

        async def read():
            async for report in h.aevents():
                names.extend(t.name for t in report)

        reader = asyncio.create_task(read())
        await asyncio.sleep(0)
        await h.arun()
        await asyncio.to_thread(h.close)
        await asyncio.wait_for(reader, 10)
        return names

    assert "done" in asyncio.run(main())


def test_a_second_run_is_refused_while_one_is_awaited(rt):
    h = rt.load(xml('<Sleep msec="200"/>'))

    async def main():
        first = asyncio.create_task(h.arun())
        await asyncio.sleep(0.02)
        with pytest.raises(RunInProgressError):
            await h.arun()
        with pytest.raises(RunInProgressError):
            await h.atick()
        return await first

    assert asyncio.run(main()).reason == "reached"


@pytest.mark.timeout(120)
def test_a_thousand_trees_await_their_coroutines_at_once():
    async def nap(node):
        await asyncio.sleep(0.1)
        return S

    with Runtime() as rt:
        rt.register_action(nap, "Nap")
        handles = [rt.load(xml("<Nap/>")) for _ in range(1000)]

        async def main():
            return await asyncio.gather(*(h.arun(timeout=60) for h in handles))

        results = asyncio.run(main())
    assert {(r.status, r.reason) for r in results} == {(S, "reached")}


def test_coroutine_actions_under_sequential_engine_run_on_the_background_loop():
    rec, log = Recorder(), []

    class Waits(StatefulActionNode):
        ports = []

        async def onStart(self, node):
            try:
                await asyncio.sleep(30)
            except asyncio.CancelledError:
                log.append("cancelled")
                raise

    engine = SequentialEngine()
    engine.register_action_behavior("Sleepy", rec.sleepy, SECONDS)
    engine.register_node_type(Waits)
    engine.create_tree_from_text(xml('<Sequence><Sleepy seconds="0.02"/>'
                                     '<Fallback><Timeout msec="30"><Waits/></Timeout><AlwaysFailure/></Fallback>'
                                     '</Sequence>'))
    assert engine.tree.tick_while_running() is F
    assert rec.loops == [background_loop()]
    for _ in range(500):
        if log:
            break
        time.sleep(0.01)
    assert log == ["cancelled"]

    async def ticked_inside_a_coroutine():  # the loop is blocked in the tick: not used for the task
        engine.reset_tree()
        return engine.tree.tick_while_running()

    assert asyncio.run(ticked_inside_a_coroutine()) is F
    assert rec.loops[-1] is background_loop()


def test_wake_ends_a_wait_between_ticks_and_leaves_nothing_behind():
    engine = SequentialEngine()
    engine.create_tree_from_text(xml('<Sleep msec="30000"/>'))
    assert engine.tick_once() is R
    threading.Timer(0.05, engine.wake).start()
    engine.wait_between_ticks()  # would last 30 s without the wake
    assert engine.tick_once() is R  # not interrupted: the tree goes on
    assert engine.wait_before_retry(0.001) in (True, False)
