"""The fenced code blocks of the README, for the tests that keep it honest."""
from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"

_FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)


def blocks(language: str) -> list[str]:
    """The bodies of the README's blocks fenced as `language`, in order."""
    return [body for lang, body in _FENCE.findall(README.read_text(encoding="utf-8")) if lang == language]


def tour() -> tuple[str, str]:
    """The tour snippet and the output the README shows for it: the first python
    block and the text block right after it."""
    fenced = _FENCE.findall(README.read_text(encoding="utf-8"))
    for (lang, body), (next_lang, next_body) in zip(fenced, fenced[1:]):
        if lang == "python" and next_lang == "text":
            return body, next_body
    raise AssertionError("README has no python block followed by its text output")
