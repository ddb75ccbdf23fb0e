"""pelnor's ids equal tiktoken's: generated, adversarial and real text, every built-in encoding.

PELNOR_CONFORMANCE_TEXTS sets how many generated texts each encoding gets (CI: 20,000;
`make conformance`: 1,000,000). A mismatch is reported with the smallest failing input found.
"""

import base64
import os
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from datafiles import REPO, newest_code_points

# Left out of every draw: code points that Unicode 17.0 assigned. The class tables follow 17.0
# (U+088F is a letter), tiktoken's engine an older version that sees them as unassigned.
NEWEST = newest_code_points()

GENERATED = int(os.environ.get("PELNOR_CONFORMANCE_TEXTS", "20000"))

# Characters by the classes the pre-tokenizers care about.
POOLS = [
    "aeinorstlvdmxzqkAEISTLVDMQ",
    "0123456789",
    "   \t\n\r\v\f\x85\xa0\u1680\u2000\u2007\u200a\u2028\u2029\u202f\u205f\u3000",
    "''\u2019\u02bc\uff07`\u2018",
    "!.,/-?\"#()[]{}<|>_~\x7f\x01\u20ac\xa9\u2014\n/",
    "\u0301\u0300\u0308\u20d7\u1ab0\u093f\u0903\ufe0f\u200d\u064b",
    "\xe9\xdf\xc7\u03b1\u03a9\u0434\u0416\u0639\u05d0\u0915\u4e2d\u65e5\ud55c\u30a2\u30fc\u01c5\u02b0\u1f88\xaa\xba\u017f\u212a",
    "\u0663\u096b\xb2\xb9\xbd\u216b\u2460\uff11",
    "\U0001d400\U0001d44e\U0001d7ce\U00010400\U00010428\U00020000\U0001f600\U0001f3fd\U0001f44d\U000e0100",
]


def random_text(rng):
    chars = []
    pool = rng.choice(POOLS)
    for _ in range(rng.randint(1, 40)):
        roll = rng.random()
        if roll < 0.3:
            pool = rng.choice(POOLS)
        if roll > 0.97:
            cp = rng.randint(0x80, 0x10FFFF)
            chars.append(chr(cp) if not 0xD800 <= cp <= 0xDFFF and cp not in NEWEST else "x")
        else:
            chars.append(rng.choice(pool))
    return "".join(chars)


def adversarial_texts():
    rng = random.Random(7)
    minified = (REPO / "tests" / "corpus" / "code.txt").read_text(encoding="utf-8")
    minified = "".join(minified.split())
    yield from [
        "a" * 20000,
        "7" * 20001,
        " " * 20000,
        "\n" * 5000 + "x",
        " \n" * 4000,
        "\t \r\n" * 3000 + "end",
        "e" + "\u0301" * 5000,
        "\u0301" * 5000,
        base64.b64encode(rng.randbytes(30000)).decode(),
        minified * 5,
        "ab" * 10000,
        "\u4e00" * 5000,
        "😀" * 3000,
        "'s" * 5000,
        "A" * 3000 + "a" * 3000,
    ]


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def shrink(text, fails):
    """Returns a shortest-found variant of text that still fails."""
    step = max(1, len(text) // 2)
    while step >= 1:
        i = 0
        while i < len(text):
            candidate = text[:i] + text[i + step :]
            if candidate and fails(candidate):
                text = candidate
            else:
                i += step
        step //= 2
    return text


def assert_same_ids(ours, theirs, texts, label):
    for text in texts:
        if ours(text) != theirs(text):
            small = shrink(text, lambda t: ours(t) != theirs(t))
            a, b = ours(small), theirs(small)
            pytest.fail(
                f"{label}: ids differ for {small!r}\n  pelnor:   {a}\n  tiktoken: {b}\n"
                f"  first difference at id {first_difference(a, b)}"
            )


def test_generated_texts(tokenizers, references, encoding):
    tok, ref = tokenizers[encoding], references[encoding]
    rng = random.Random(f"conformance-{encoding}")
    texts = [random_text(rng) for _ in range(GENERATED)]
    ours = tok.encode_batch(texts, threads=0)
    theirs = ref.encode_ordinary_batch(texts, num_threads=2)
    import struct

    ids = struct.unpack(f"<{len(ours[0]) // 4}I", ours[0])
    offsets = struct.unpack(f"<{len(texts) + 1}q", ours[1])
    mismatched = [t for i, t in enumerate(texts) if list(ids[offsets[i] : offsets[i + 1]]) != theirs[i]]
    nbytes = sum(len(t.encode()) for t in texts)
    print(f"\n{encoding}: {len(texts)} generated texts, {nbytes} bytes, {len(mismatched)} mismatches")
    assert_same_ids(tok.encode_ordinary, ref.encode_ordinary, mismatched[:3], encoding)
    assert not mismatched


def test_adversarial_texts(tokenizers, references, encoding):
    tok, ref = tokenizers[encoding], references[encoding]
    assert_same_ids(tok.encode_ordinary, ref.encode_ordinary, adversarial_texts(), encoding)


def test_policies_counts_and_round_trips_on_generated_texts(tokenizers, references, encoding):
    tok, ref = tokenizers[encoding], references[encoding]
    rng = random.Random(f"policies-{encoding}")
    specials = sorted(tok.special_tokens_set)
    for _ in range(2000):
        text = random_text(rng)
        if rng.random() < 0.5:
            cut = rng.randint(0, len(text))
            text = text[:cut] + rng.choice(specials) + text[cut:]
        assert tok.encode(text, allowed_special="all") == ref.encode(text, allowed_special="all")
        assert tok.encode_with_special(text) == ref.encode(text, allowed_special="all")
        assert tok.encode(text, disallowed_special=()) == ref.encode(text, disallowed_special=())
        assert tok.count(text) == len(ref.encode_ordinary(text))
        ids = tok.encode_ordinary(text)
        assert tok.decode(ids) == ref.decode(ids) == text
        assert tok.decode_bytes(ids) == ref.decode_bytes(ids)


@settings(
    max_examples=int(os.environ.get("PELNOR_HYPOTHESIS_EXAMPLES", "500")),
    derandomize=True,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(text=st.text(st.sampled_from("".join(POOLS)), max_size=50))
def test_hypothesis_texts(tokenizers, references, text):
    for name, tok in tokenizers.items():
        assert tok.encode_ordinary(text) == references[name].encode_ordinary(text), name


def random_bytes(rng):
    """Mostly text, with stray continuation bytes, cut sequences, overlong forms and 0xF8-0xFF."""
    pieces = []
    for _ in range(rng.randint(1, 12)):
        roll = rng.random()
        if roll < 0.5:
            pieces.append(random_text(rng).encode())
        elif roll < 0.7:
            pieces.append(bytes([rng.randint(0x80, 0xFF)]))
        elif roll < 0.85:
            pieces.append(rng.choice([b"\xc0\xa0", b"\xc0\xa7", b"\xe0\x80\x8a", b"\xed\xa0\x80",
                                      b"\xf8\x88\x80\x80", b"\xe4\xb8", b"\xf0\x9f\x98"]))
        else:
            pieces.append(rng.randbytes(rng.randint(1, 4)))
    return b"".join(pieces)


@pytest.mark.parametrize("name", ["r50k_base", "cl100k_base", "o200k_base"])
def test_invalid_utf8_follows_the_rules(tokenizers, name):
    import reference

    tok = tokenizers[name]
    rng = random.Random(f"bytes-{name}")
    count = max(500, GENERATED // 10)
    for _ in range(count):
        data = random_bytes(rng)
        want = reference.encode_bytes(name, data)
        if tok.encode_bytes(data) != want:
            small = shrink(data, lambda d: tok.encode_bytes(d) != reference.encode_bytes(name, d))
            pytest.fail(f"{name}: {small!r}\n  pelnor:    {tok.encode_bytes(small)}\n"
                        f"  reference: {reference.encode_bytes(name, small)}")
    print(f"\n{name}: {count} byte strings with invalid UTF-8 equal the reference rules")
