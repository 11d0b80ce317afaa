"""The canned newsroom: a deterministic short news report about whatever was asked.

The same question always gives the same report, word for word, so tests can compare
what a client printed with what the server sent. Different questions pick different
phrasings (chosen by a hash of the question), which keeps two answers in one run
visibly apart.
"""

from __future__ import annotations

import hashlib
import re
from typing import Any, Iterable, List, Mapping

# Never echo an unbounded prompt back into the headline.
_TOPIC_LIMIT = 120

_HEADLINES = (
    "Breaking news: {topic}",
    "Tonight's top story: {topic}",
    "Live from the newsroom: {topic}",
    "Special report: {topic}",
)

_LEDES = (
    "Good evening, and thank you for tuning in! Our reporters have chased one story "
    "all day long, and here is what we know about {topic}.",
    "Hello and welcome! The newsroom is buzzing tonight, because everybody wants the "
    "latest on {topic}.",
    "Stop the presses! We have just wrapped up a day in the field covering {topic}, "
    "and the story is a lively one.",
)

_DETAILS = (
    "Sources close to the story describe a day of brisk activity, with crowds "
    "gathering early and officials promising more details before the week is out.",
    "Residents we spoke to sounded upbeat, and more than one told us they had never "
    "seen the neighbourhood quite this busy.",
    "Analysts caution that the picture is still developing, so the numbers may shift "
    "as fresh reports arrive overnight.",
    "Our camera crew found packed streets, crowded cafés and a skyline glowing "
    "against the evening sky.",
    "Local businesses report a steady stream of visitors, and several shop owners "
    "say the good mood is great for trade.",
)

_SIGN_OFFS = (
    "That's all for now. Stay tuned, and we will bring you every twist of this story "
    "as it unfolds!",
    "We will keep our eyes on it for you. Until the next bulletin, good night!",
)

_CREDIT = "*Filed by the offline newsroom: a canned report, not real news.*"


def topic_of(messages: Iterable[Mapping[str, Any]]) -> str:
    """The question a chat is about: the last user message, whitespace folded."""
    topic = ""
    for message in messages:
        if message.get("role") == "user" and isinstance(message.get("content"), str):
            topic = message["content"]
    topic = " ".join(topic.split())
    if len(topic) > _TOPIC_LIMIT:
        topic = topic[: _TOPIC_LIMIT - 3].rstrip() + "..."
    return topic or "today's headlines"


def compose_report(topic: str) -> str:
    """A short markdown news report about `topic`; the same topic gives the same text."""
    digest = hashlib.sha256(topic.encode("utf-8")).digest()

    def pick(options, byte):
        return options[digest[byte] % len(options)]

    first = digest[3] % len(_DETAILS)
    second = (first + 1 + digest[4] % (len(_DETAILS) - 1)) % len(_DETAILS)
    paragraphs = [
        "**" + pick(_HEADLINES, 0).format(topic=topic) + "**",
        pick(_LEDES, 1).format(topic=topic),
        _DETAILS[first] + " " + _DETAILS[second],
        pick(_SIGN_OFFS, 2),
        _CREDIT,
    ]
    return "\n\n".join(paragraphs)


_PIECE = re.compile(r"^\s+|\S+\s*")


def split_words(text: str) -> List[str]:
    """Streaming pieces: each word with the blanks after it, so the pieces join back to `text`."""
    return _PIECE.findall(text)


_TOKEN = re.compile(r"\w+|[^\w\s]")


def count_tokens(texts: Iterable[str]) -> int:
    """A rough token count, enough for the usage counters a client shows."""
    return sum(len(_TOKEN.findall(text)) for text in texts)
