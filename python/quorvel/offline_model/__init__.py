"""An offline stand-in for an Ollama server, serving the model "qwen3:30b".

It lets the demonstration and its tests run on a machine with no model installed and no
network: answers are short canned news reports, deterministic for a given question and
streamed word by word. Run it with `python -m quorvel.offline_model --port N`.
"""

from .answer import compose_report, split_words, topic_of
from .server import MODEL_NAME, OfflineModelServer, answer_pieces, expected_answer

__all__ = [
    "MODEL_NAME",
    "OfflineModelServer",
    "answer_pieces",
    "compose_report",
    "expected_answer",
    "split_words",
    "topic_of",
]
