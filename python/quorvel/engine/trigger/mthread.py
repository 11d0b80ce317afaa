"""
线程引擎模块

该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。
每个行为树在独立的线程中运行，提高处理效率。
"""
# ---- library part (thread engine) ----

# ThreadEngine is written in C++. At call time it looks up the names below in this module
# (the tree's engine class, the factory, the node base class and the logger), so replacing
# one of them here, in a test for instance, changes what every engine uses.
from loguru import logger

from quorvel.core import BehaviorTreeFactory, NodeStatus, TreeNode
from quorvel.engine.sequential_engine import SequentialEngine
from quorvel.nodes.action_node import SimpleActionNode
from quorvel._native import ThreadEngine


# ---- demonstration part: runs only as the main program ----

if __name__ == "__main__":
    import os

    # agno reports every run to its vendor unless told not to; the demonstration talks to
    # the model server alone and must never sit waiting on a connection to anywhere else.
    os.environ.setdefault("AGNO_TELEMETRY", "false")

    from agno.models.ollama import Ollama
    from agno.agent import Agent, RunResponse
    from typing import Iterator

    class CreateAgentOllama(SimpleActionNode):
        # Assigned rather than written as a docstring, because Python 3.13 strips the
        # indentation of docstrings and this text is published as it stands.
        __doc__ = (
            "\n        创建Agent节点\n        \n"
            "        该节点用于根据指定的模型供应商、模型ID和描述创建一个新的Agent实例。\n"
            "        支持Ollama模型供应商，未来可扩展支持其他供应商。\n        \n"
            "        输入端口:\n"
            "            - model_provider: 模型供应商名称 (可选值: ollama, deepseek, openai, anthropic, gemini)\n"
            "            - model_id: 模型ID\n"
            "            - description: Agent的描述信息\n            \n"
            "        输出端口:\n"
            "            - agent: 创建的Agent实例\n        "
        )

        ports = [
            {"name": "model_id", "type": "string", "direction": "input", "description": ""},
            {"name": "description", "type": "string", "direction": "input", "description": ""},
            {"name": "agent", "type": "object", "direction": "output", "description": ""},
        ]

        @staticmethod
        def tick(node: TreeNode):
            model_id = node.getInputString("model_id")
            description = node.getInputString("description")
            model = Ollama(id=model_id)
            agent = Agent(model=model, description=description, markdown=True)
            node.setOutput("agent", agent)
            return NodeStatus.SUCCESS

    class GetStreamResponse(SimpleActionNode):
        ports = [
            {"name": "agent", "type": "object", "direction": "input", "description": ""},
            {"name": "instructions", "type": "object", "direction": "input", "description": ""},
            {"name": "response_stream", "type": "object", "direction": "output", "description": ""},
            {"name": "user_input", "type": "string", "direction": "input", "description": ""},
        ]

        @staticmethod
        def tick(node: TreeNode):
            agent = node.getInputObject("agent")
            # Declared so trees can wire it; how instructions should shape a run is not
            # decided yet, so the run does not see it.
            instructions = node.getInputObject("instructions")
            user_input = node.getInputString("user_input")
            # The run has not contacted the model yet: the stream is read later, by
            # whoever takes it from the blackboard, on whatever thread that is.
            response_stream: Iterator[RunResponse] = agent.run(user_input, stream=True)
            node.setOutput("response_stream", response_stream)
            return NodeStatus.SUCCESS

    tree_text = """
        <root BTCPP_format="4">
            <BehaviorTree ID="MainTree">
                <Sequence name="root_sequence">
                    <CreateAgentOllama model_id="qwen3:30b" agent="{agent}" description="You are an enthusiastic news reporter with a flair for storytelling!"/>
                    <KeepRunningUntilFailure>
                        <Sequence>
                            <GetStreamResponse 
								agent="{agent}" 
								instructions="{instructions}" 
								user_input="{user_input}" 
								response_stream="{response_stream}"/>
                        </Sequence>
                    </KeepRunningUntilFailure>
                </Sequence>
            </BehaviorTree>
        </root>
    """

    engine = ThreadEngine()
    # The workers are not daemon threads: whatever step fails, stop them before the
    # error leaves the program, or the process would never end.
    try:
        engine.register_action_class(CreateAgentOllama, "CreateAgentOllama")
        engine.register_action_class(GetStreamResponse, "GetStreamResponse")

        tree_ids = [
            engine.create_tree_from_text(tree_text, "tree0"),
            engine.create_tree_from_text(tree_text, "tree1"),
        ]

        for tree_id, user_input in zip(tree_ids, ["中国上海的新闻", "中国北京的新闻"]):
            engine.set_blackboard_data(tree_id, "user_input", user_input)
            engine.tick_once(tree_id)
            response_stream: Iterator[RunResponse] = engine.get_blackboard_data(tree_id, "response_stream")
            for chunk in response_stream:
                print(chunk.content, end="", flush=True)
            print(flush=True)
    finally:
        engine.stop_all_trees()
