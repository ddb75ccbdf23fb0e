"""The encode family against tiktoken, and its result forms."""

import array
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import needs
from datafiles import REPO, newest_code_points

CORPUS = sorted((REPO / "tests" / "corpus").glob("*.txt"))

SPECIAL_TEXTS = [
    "",
    "<|endoftext|>",
    "<|endoftext|>hello",
    "hello<|endoftext|>",
    "a<|endoftext|><|endoftext|>b",
    "<|endoftext|><|fim_prefix|> x <|endofprompt|>",
    "<|endoftext|<|endoftext|>>",
    "<|fim_prefix|>prefix<|fim_middle|>middle<|fim_suffix|>",
    "<|start|>user<|message|>hi<|end|><|reserved_200018|><|endofprompt|>",
    "plain text without specials",
]


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.stem)
def test_encode_ordinary_equals_tiktoken_on_corpus(tokenizers, encoding, path):
    # tiktoken's ids, stored (test_golden_vectors_are_tiktokens_ids holds them equal to its own).
    golden = REPO / "tests" / "golden" / f"{encoding}.{path.stem}.ids"
    text = path.read_text(encoding="utf-8")
    ids = tokenizers[encoding].encode_ordinary(text)
    assert ids == [int(i) for i in golden.read_text().split()]
    assert tokenizers[encoding].count(text) == len(ids)
    assert tokenizers[encoding].encode_bytes(text.encode()) == ids


text_strategy = st.text(
    alphabet=st.characters(codec="utf-8").filter(lambda c: ord(c) not in newest_code_points()),
    max_size=60,
)


@settings(max_examples=300, derandomize=True, deadline=None)
@given(text=text_strategy)
def test_encode_ordinary_equals_tiktoken_on_generated_text(tokenizers, references, text):
    for name, tok in tokenizers.items():
        assert tok.encode_ordinary(text) == references[name].encode_ordinary(text), name


@pytest.mark.parametrize("text", SPECIAL_TEXTS)
def test_policies_equal_tiktoken(tokenizers, references, encoding, text):
    tok, ref = tokenizers[encoding], references[encoding]
    specials = sorted(tok.special_tokens_set)
    policies = [
        {},
        {"allowed_special": "all"},
        {"disallowed_special": ()},
        {"allowed_special": {specials[0]}},
        {"allowed_special": set(specials[:3]), "disallowed_special": ()},
        {"allowed_special": "all", "disallowed_special": ()},
    ]
    for policy in policies:
        try:
            want = ref.encode(text, **policy)
        except ValueError:
            with pytest.raises(ValueError, match="^Encountered text corresponding"):
                tok.encode(text, **policy)
            continue
        assert tok.encode(text, **policy) == want, policy
        assert tok.encode_to_buffer(text, **policy) == struct.pack(f"<{len(want)}I", *want)
    assert tok.encode_with_special(text) == ref.encode(text, allowed_special="all")


@given(st.lists(st.sampled_from(["x", " ", "<|", "|>", "<|endoftext|>", "<|fim_prefix|>",
                                  "<|fim_middle|>", "<|endofprompt|>"]), max_size=10))
def test_one_check_names_the_smallest_natively_and_the_first_for_tiktoken(references, parts):
    import pelnor

    text = "".join(parts)
    tok, ours = pelnor.get_tokenizer("cl100k_base"), pelnor.get_encoding("cl100k_base")
    theirs = references["cl100k_base"]
    present = sorted(s.encode() for s in ours.special_tokens_set if s in text)
    found = tok.find_disallowed_special(["", text])
    if not present:
        assert found is None
        return
    with pytest.raises(ValueError) as native:
        tok.encode(text)
    assert f'token "{present[0].decode()}"' in str(native.value)
    assert found == native.value.special_token == min(
        (s.decode() for s in present), key=lambda s: (text.index(s), -len(s)))
    # tiktoken names the first in the text; count_batch words it as encode_batch does.
    for call, same_as in [
        (lambda e: e.encode(text), None),
        (lambda e: e.encode(text, allowed_special={"<|fim_middle|>"}), None),
        (lambda e: e.count_batch(["x", text]), lambda e: e.encode_batch(["x", text])),
    ]:
        expected = failure_message(same_as or call, theirs)
        assert failure_message(call, ours) == expected


def failure_message(call, enc):
    try:
        call(enc)
    except ValueError as error:
        return str(error)


def test_policy_rules(tokenizers):
    tok = tokenizers["cl100k_base"]
    text = "x <|fim_prefix|> y <|endoftext|>"
    with pytest.raises(ValueError, match='token "<\\|endoftext\\|>"'):
        tok.encode(text)  # set order, not text order
    with pytest.raises(ValueError, match='token "<\\|endoftext\\|>"'):
        tok.encode(text, allowed_special=None, disallowed_special=None)
    with pytest.raises(ValueError, match="^allowed_special/disallowed_special must be 'all'"):
        tok.encode("x", disallowed_special="none")
    assert tok.encode("<|endoftext|>", allowed_special=["<|endoftext|>"]) == [100257]
    with pytest.raises(ValueError, match='"<\\|fim_prefix\\|>"'):
        tok.encode(text, allowed_special={"<|endoftext|>"})
    with pytest.raises(ValueError, match='token "abc"'):
        tok.encode("xabcx", disallowed_special={"abc"})
    with pytest.raises(ValueError, match='token "endoftext"'):
        tok.encode("<|endoftext|>", allowed_special="all", disallowed_special={"endoftext"})
    assert tok.encode("abc", disallowed_special={""}) == tok.encode_ordinary("abc")
    assert tok.encode("", allowed_special="all") == [] == tok.encode("")
    # Allowed strings that are no special tokens have no effect.
    assert tok.encode("abc", allowed_special={"abc"}) == tok.encode_ordinary("abc")


def test_table_order_breaks_ties(tmp_path):
    from datafiles import DATA
    from pelnor import Tokenizer

    for name in ("cl100k.vocab", "uniclass.bin"):
        (tmp_path / name).write_bytes((DATA / name).read_bytes())
    entries = [("<|a|>", 100300), ("<|a", 100301)]  # the shorter string comes second
    raw = struct.pack("<I", len(entries)) + b"".join(
        struct.pack("<IH", i, len(s)) + s.encode() for s, i in entries
    )
    (tmp_path / "cl100k.special").write_bytes(raw)
    tok = Tokenizer("cl100k_base", str(tmp_path))
    assert tok.encode_with_special("<|a|>") == [100300]
    entries.reverse()
    raw = struct.pack("<I", len(entries)) + b"".join(
        struct.pack("<IH", i, len(s)) + s.encode() for s, i in entries
    )
    (tmp_path / "cl100k.special").write_bytes(raw)
    tok = Tokenizer("cl100k_base", str(tmp_path))
    assert tok.encode_with_special("<|a|>")[0] == 100301


def test_harmony_maps_both_names_of_200018(tokenizers):
    tok = tokenizers["o200k_harmony"]
    assert tok.encode("<|endofprompt|><|reserved_200018|>", allowed_special="all") == [200018] * 2


@pytest.mark.parametrize(
    "member, shown",
    [
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\t\n\r\x00", '"\\t\\n\\r\\0"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("it's é", "\"it's é\""),
        ("\u00a0\u200b", '"\\u{a0}\\u{200b}"'),
    ],
)
def test_disallowed_message_debug_form(tokenizers, member, shown):
    with pytest.raises(ValueError) as error:
        tokenizers["cl100k_base"].encode("x" + member, disallowed_special={member})
    lines = str(error.value).split("\n")
    assert lines == [
        f"Encountered text corresponding to disallowed special token {shown}.",
        "If you want this text to be encoded as a special token, pass it to `allowed_special`, "
        f"e.g. `allowed_special={{{shown}, ...}}`.",
        "If you want this text to be encoded as normal text, disable the check for this token "
        "by passing `disallowed_special=()`, or use `encode_ordinary`.",
    ]


def test_numpy_and_buffer_results(tokenizers):
    numpy = needs("numpy")

    tok = tokenizers["o200k_base"]
    text = "numpy arrays share the bytes of their buffer"
    ids = tok.encode(text)
    buffer = tok.encode_to_buffer(text)
    assert array.array("I", buffer).tolist() == ids
    view = tok.encode_to_numpy(text)
    assert view.dtype == numpy.uint32 and view.tolist() == ids
    assert not view.flags.writeable
    assert tok.encode_to_buffer("") == b""
    assert tok.encode_to_numpy("").dtype == numpy.uint32 and len(tok.encode_to_numpy("")) == 0


def test_id_lists_outlive_their_tokenizer(references):
    # A tokenizer keeps the int objects it has handed out; the lists must hold their own
    # references, from the first list to ones with higher ids than any before.
    import gc

    import pelnor

    tok = pelnor.Tokenizer("cl100k_base")
    texts = ["a", "hello world", "<|endoftext|> and <|fim_prefix|>", "Grüße, 世界! " * 50]
    lists = [tok.encode(t, allowed_special="all") for t in texts]
    lists.append(tok.encode_ordinary(texts[-1]))
    lists[0].append(lists[1].pop())
    del tok
    gc.collect()
    ref = references["cl100k_base"]
    expected = [ref.encode(t, allowed_special="all") for t in texts] + [ref.encode(texts[-1])]
    expected[0].append(expected[1].pop())
    assert lists == expected
    assert [sum(ids) for ids in lists] == [sum(ids) for ids in expected]


def test_offsets(tokenizers):
    tok = tokenizers["cl100k_base"]
    text = "Grüße, 世界! ʬ"
    ids, spans = tok.encode_with_offsets(text)
    assert ids == tok.encode_ordinary(text)
    assert spans[0][0] == 0 and spans[-1][1] == len(text.encode())
    assert all(a[1] == b[0] for a, b in zip(spans, spans[1:]))
    assert b"".join(text.encode()[s:e] for s, e in spans) == text.encode()
    _, char_spans = tok.encode_with_offsets(text, unit="char")
    assert char_spans[-1][1] == len(text)
    # U+02AC at character 11, byte 17, is split over two tokens.
    assert char_spans[-2:] == [(11, 12), (12, 12)]
    assert spans[-2:] == [(17, 18), (18, 19)]


def test_encode_single_token(tokenizers):
    tok = tokenizers["cl100k_base"]
    assert tok.encode_single_token("hello") == 15339 == tok.encode_single_token(b"hello")
    assert tok.encode_single_token("<|endoftext|>") == 100257
    assert tok.encode_single_token(b"<|endoftext|>") == 100257
    with pytest.raises(KeyError, match="bytes are not a single token in this encoding"):
        tok.encode_single_token("hello world")


def test_truncate(tokenizers):
    tok = tokenizers["cl100k_base"]
    text = "The quick brown fox <|endoftext|> jumps"
    total = tok.count(text)
    kept, n = tok.truncate(text, 10**9)
    assert kept is text and n == total
    assert tok.truncate(text, 0) == ("", total)
    empty = ""
    assert tok.truncate(empty, 5)[0] is empty
    kept, n = tok.truncate(text, total - 1)
    assert n == total and kept == text[: len(text) - len(" jumps")]
    assert tok.truncate("ʬʬ", 1) == ("", 4)  # the partial character is dropped
    assert all(tok.truncate(text, k)[1] == total for k in range(total + 2))


@pytest.mark.parametrize("path", CORPUS[:4], ids=lambda p: p.stem)
def test_truncation_never_exceeds_the_budget(tokenizers, path):
    tok = tokenizers["o200k_base"]
    text = path.read_text(encoding="utf-8")[:400]
    total = tok.count(text)
    for k in range(total + 1):
        kept, n = tok.truncate(text, k)
        assert n == total and text.startswith(kept)
        assert tok.count(kept) <= k


def test_golden_vectors_are_tiktokens_ids(references):
    import pelnor

    golden = sorted((REPO / "tests" / "golden").glob("*.ids"))
    corpus_files = list((REPO / "tests" / "corpus").glob("*.txt"))
    assert len(golden) == len(pelnor.BUILTIN_ENCODINGS) * len(corpus_files)
    for path in golden:
        encoding, corpus = path.stem.split(".")
        text = (REPO / "tests" / "corpus" / f"{corpus}.txt").read_text(encoding="utf-8")
        want = " ".join(map(str, references[encoding].encode_ordinary(text))) + "\n"
        assert path.read_text() == want, path.name


OVERLAPPING = ["<s>", "<s>x", "x<s>", "s>x", "<|a|>", "<|a|><|b|>", "b|>", "<"]


@settings(max_examples=150, derandomize=True, deadline=None)
@given(order=st.permutations(OVERLAPPING),
       parts=st.lists(st.sampled_from(OVERLAPPING + ["x", " ", "|", "s", "b", "é"]), max_size=14),
       allowed=st.sets(st.sampled_from(OVERLAPPING)))
def test_every_call_cuts_overlapping_specials_alike(order, parts, allowed):
    """Where special strings overlap, the first to start wins, and among those starting at one
    place the first of the table (tiktoken's choice there follows its hash table's layout)."""
    import pelnor

    table = {s: 300 + OVERLAPPING.index(s) for s in order}
    enc = pelnor.Encoding("overlap", pat_str=pelnor.patterns.CL100K_PATTERN,
                          mergeable_ranks={bytes([b]): b for b in range(256)},
                          special_tokens=table)
    text = "".join(parts)
    expected, pos = [], 0
    while True:
        found = [(text.find(s, pos), i, s) for i, s in enumerate(order)
                 if s in allowed and text.find(s, pos) >= 0]
        at, _, special = min(found, default=(len(text), 0, ""))
        expected += enc.encode_ordinary(text[pos:at])
        if not special:
            break
        expected.append(table[special])
        pos = at + len(special)
    policy = dict(allowed_special=allowed, disallowed_special=())
    assert enc.encode(text, **policy) == expected
    assert enc.encode_batch([text, text], num_threads=2, **policy) == [expected] * 2
    assert enc.count(text, **policy) == len(expected)
    assert enc.count_batch([text], **policy) == [len(expected)]
    ids, spans = enc.encode_with_offsets(text, **policy)
    assert ids == expected
    data = text.encode()
    assert b"".join(data[s:e] for s, e in spans) == data
    for k in range(len(expected) + 1):
        kept = data[: spans[k - 1][1] if k else 0].decode(errors="ignore")
        assert enc.truncate(text, k, **policy) == (kept, len(expected))
    if allowed == set(OVERLAPPING):
        assert enc.encode_with_special(text) == expected
