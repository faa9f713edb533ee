"""Text made safe to show on a terminal."""

from __future__ import annotations

import re

# C0 and C1 controls (escape sequences among them), bidirectional overrides
# that make a name read backwards, and the lone surrogates that stand for
# bytes of a file name that are not UTF-8 (which a UTF-8 stream cannot write).
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def printable(text: str) -> str:
    """``text`` with every character that could steer the terminal written as its escape, e.g. ``\\x1b``."""
    return _UNSAFE.sub(lambda match: match[0].encode("unicode_escape").decode("ascii"), text)
