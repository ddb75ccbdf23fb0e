"""Custom encodings split by PCRE2: published patterns and the dialect's features against
tiktoken on many texts."""

import pickle
import random

import pytest

import pelnor
from published_patterns import PUBLISHED
from test_conformance import random_text
from test_tiktoken_face import CORPUS, both, prefix_ranks

CORNERS = [
    "DON'T YOU'LL I'M WE'VE SHE'D IT'S THEY'RE don'T",
    "1234567890 12 ١٢٣٤ ²³ 1,000,000.5",
    "a\r\n\r\n\r\nb\r\n \r\n  c\n\n\n",
    "trailing   ",
    "trailing\n",
    "漢字かな交じり文、中文字符\u3001日本",
    "\U0002ebf0\U00031350 newer ideographs",
]


def texts(count):
    rng = random.Random(5)
    return CORNERS + list(CORPUS.values()) + [random_text(rng) for _ in range(count)]


@pytest.mark.parametrize("name", PUBLISHED)
def test_published_patterns_split_as_tiktoken(references, name):
    ranks = references["o200k_base" if name == "tekken" else "cl100k_base"]._mergeable_ranks
    ours, theirs = both(name, PUBLISHED[name], ranks, {"<|endoftext|>": 300000})
    drawn = texts(5000)
    assert ours.encode_batch(drawn) == theirs.encode_batch(drawn)
    restored = pickle.loads(pickle.dumps(ours))
    assert restored.encode_ordinary(CORNERS[0]) == theirs.encode_ordinary(CORNERS[0])


@pytest.mark.parametrize("pattern", [PUBLISHED["bloom"], r"\p{L}+|\p{N}"], ids=["bloom", "words"])
def test_offsets_and_cuts_skip_text_the_pattern_leaves_unmatched(references, pattern):
    ours, theirs = both("gaps", pattern, references["cl100k_base"]._mergeable_ranks,
                        {"<|endoftext|>": 300000})
    drawn = texts(150) + ["Hi, you.<|endoftext|> ¿Qué? 日本、中文。"]
    for text in drawn:
        data = text.encode()
        ids = theirs.encode(text, allowed_special="all")
        got, spans = ours.encode_with_offsets(text, allowed_special="all")
        assert got == ids and ours.count(text, allowed_special="all") == len(ids)
        assert [data[s:e] for s, e in spans] == [theirs.decode_single_token_bytes(i) for i in ids]
        chars = [0]
        for byte in data:
            chars.append(chars[-1] + (byte & 0xC0 != 0x80))
        spans_in_chars = ours.encode_with_offsets(text, "char", allowed_special="all")[1]
        assert spans_in_chars == [(chars[s], chars[e]) for s, e in spans]
        for k in sorted({0, 1, len(ids) // 2, max(len(ids) - 1, 0), len(ids), len(ids) + 1}):
            # The kept text ends where the k-th token's bytes end, a split character dropped.
            end = len(data) if k >= len(ids) else spans[k - 1][1] if k else 0
            kept = data[:end].decode(errors="ignore")
            assert ours.truncate(text, k, allowed_special="all") == (kept, len(ids))
    plain = [t for t in drawn if "<|" not in t]
    assert ours.count_batch(plain) == [len(theirs.encode_ordinary(t)) for t in plain]
    assert [kept for kept, _ in ours.truncate_batch(plain, 7)] == [
        ours.truncate(t, 7)[0] for t in plain
    ]


DIALECT = [
    r"\w+|\W", r"\d+|\D", r"\s+|\S+", r"\b\w+\b|.", r"\h+|.", r"[[:alpha:]]+|[[:space:]]+|.",
    r"\p{Han}+|\p{Script=Hira}+|\p{scx=Han}+|.", r"\pL+|\p{Letter}+|\p{gc=Lu}+|.",
    r"\p{Greek}+|\p{Common}+|\p{Zyyy}+|.", r"\p{Lowercase}+|\p{Alphabetic}+|\p{Emoji}+|.",
    r"\p{Assigned}+|\p{Extended_Pictographic}+|\p{Cased_Letter}+|.",
    r"[\p{L}--\p{Lu}]+|[\p{L}~~\p{Ll}]+|[a-z[A-Z]]+|[^a-z[0-9]]+|.",
    r"(?i:don't)|(?i)k+|(?-i:a)|.", r"\x{41}|\u{42}|\u0043|[\u{61}-\u{7A}]+|.",
    r"(?s).", r"\s+$|.", r"(?m)\s+$|.", r"\s+\z|.", r"(?x) \w + | . ", r"(?x)[ a-c ]+|.",
    r"(?U)\w+|\w+?|.", r"(?<=\s)\w+|\w+\K\s|.", r"(?P<w>\w)(?P=w)|(?>\w+)|\w++|.",
    r"[\w]+|[\s\d]+|[^\S\n]+|.", r"\p{L}{2,3}+|\p{N}{1,3}|\p{Lu}\p{Ll}*|.",
    r"[^\v]+|\v|[ a-z[0]]+", r"[[:print:]--[a]]+|[[:space:]&&[^\n]]+|[ [b]]+|.",
    r"(?i)\p{N}+|(?i:k)(?-i:\p{Lu})|(?i:\p{Zs}|x)|.", r"[\^a&&^]+|[b^]+|.",
]


def test_pattern_dialect_features_split_as_tiktoken():
    ranks = prefix_ranks("cl100k_base", 3000)
    drawn = texts(300) + [
        "a  \t\u00a0b\u2028c\u0085d\u180e", "café naïve Ελληνικά русский ǅ ß ẞ ſ K", "🎉👍🏽 0x1F",
        "a\x0bb\n\nc \x0b\n kK Dıs ^a^^b^",
    ]
    for pattern in DIALECT:
        ours, theirs = both("dialect", pattern, ranks, {})
        assert ours.encode_ordinary_batch(drawn) == theirs.encode_ordinary_batch(drawn), pattern


def test_regex_splitting_never_loses_bytes_that_are_not_utf8(references):
    ranks = references["cl100k_base"]._mergeable_ranks
    ours = pelnor.Encoding("bytes", pat_str=r"\p{L}+|\s+", mergeable_ranks=ranks,
                           special_tokens={})
    data = b"ab \xff\xfe cd\xc3"
    assert ours.decode_bytes(ours._encode_bytes(data)) == b"ab \xff\xfe cd\xc3"
