"""Custom patterns take work in proportion to their text: a pattern that backtracks without
bound, or whose every search reads far ahead, fails with ValueError naming the problem and the
byte, while long pieces and long unmatched stretches split as tiktoken splits them."""

import random
import time

import pytest

import pelnor
from published_patterns import PUBLISHED
from test_tiktoken_face import both, prefix_ranks

BYTES = {bytes([b]): b for b in range(256)}
EOT = "<|endoftext|>"


def encoding(pattern):
    return pelnor.Encoding("work", pat_str=pattern, mergeable_ranks=BYTES,
                           special_tokens={EOT: 256})


CALLS = {
    "encode": lambda e, t: e.encode(t, allowed_special="all"),
    "encode_ordinary": lambda e, t: e.encode_ordinary(t),
    "_encode_bytes": lambda e, t: e._encode_bytes(t.encode()),
    "count": lambda e, t: e.count(t, allowed_special="all"),
    "truncate": lambda e, t: e.truncate(t, 5, allowed_special="all"),
    "encode_with_offsets": lambda e, t: e.encode_with_offsets(t, allowed_special="all"),
    "encode_batch": lambda e, t: e.encode_batch(["a b", t, "c"] * 4, num_threads=2,
                                                allowed_special="all"),
    "encode_ordinary_batch": lambda e, t: e.encode_ordinary_batch([t] * 3, num_threads=2),
    "count_batch": lambda e, t: e.count_batch([t, "x"], num_threads=2),
}

HOSTILE = [
    (r"(a|a)*b|.", "a" * 40 + "!b", "backtracks without bound at byte 0 "),
    (r"(?:x+x+)+y|.", "x" * 40, "backtracks without bound at byte 0 "),
    (r"[^x]*x|.", "a" * 200_000, "reads too far ahead at byte "),
]


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("pattern, text, message", HOSTILE, ids=["alternation", "nested", "scan"])
def test_hostile_patterns_fail_quickly_in_every_call(pattern, text, message, call):
    enc = encoding(pattern)
    start = time.monotonic()
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        CALLS[call](enc, text)
    assert time.monotonic() - start < 10
    assert enc.encode_ordinary("ab") == [97, 98]  # the encoding goes on working


def test_the_failing_byte_is_counted_in_the_whole_text():
    enc = encoding(r"(a|a)*b|.")
    text = "hello " * 1000 + EOT + "a" * 30 + "!b"
    at = len("hello " * 1000 + EOT)
    for call in (lambda: enc.encode(text, allowed_special="all"),
                 lambda: enc.encode_ordinary(text)):
        with pytest.raises(ValueError, match=f"at byte {at} of the text"):
            call()


def runs(rng):
    """Texts whose runs of one class end around the first windows' edges."""
    out = []
    for edge in (4096, 8192):
        for delta in (-2, -1, 0, 1):
            for run in (" ", "a", "7", "\n", "é", " \n"):
                n = (edge + delta) // len(run.encode())
                out.append(run * n + rng.choice([" x", "x", "\n", "", "  ", "!?", "b1"]))
    return out


@pytest.mark.parametrize("pattern", [
    PUBLISHED["qwen2"], PUBLISHED["bloom"], PUBLISHED["deepseek_v3"],
    r"\s+$|\s+(?!\S)|\s+|\w+\b|[a-z]+(?=1)|.", r"[a-z]+|\d",
], ids=["qwen2", "bloom", "deepseek", "lookahead", "gaps"])
def test_long_pieces_and_stretches_split_as_tiktoken(pattern):
    ours, theirs = both("runs", pattern, prefix_ranks("cl100k_base", 2000), {})
    texts = runs(random.Random(3))
    assert ours.encode_ordinary_batch(texts) == theirs.encode_ordinary_batch(texts)
