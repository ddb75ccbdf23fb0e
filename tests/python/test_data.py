"""The built-in data files: published vocabularies, special lists, class tables."""

import base64
import hashlib
import sys

import pytest

from datafiles import DATA, REPO, SHARED_DATA, read_special, read_uniclass, read_vocab

PUBLISHED_SHA256 = {
    "r50k.vocab": "306cd27f03c1a714eca7108e03d66b7dc042abe8c258b44c199a7ed9838dd930",
    "cl100k.vocab": "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7",
    "o200k.vocab": "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d",
}

FILE_SIZES = {
    "r50k.vocab": 622_354,
    "r50k.special": 23,
    "p50k.vocab": 622_833,
    "p50k.special": 23,
    "p50k_edit.special": 83,
    "o200k.vocab": 2_597_662,
    "cl100k.vocab": 1_245_370,
    "o200k.special": 44,
    "cl100k.special": 104,
    "o200k_harmony.special": 27_201,
    "uniclass_o200k.bin": 27_396,
    "uniclass.bin": 6_732,
}


@pytest.fixture(scope="module", params=["r50k.vocab", "cl100k.vocab", "o200k.vocab"])
def vocab(request):
    return request.param, read_vocab(DATA / request.param)


def test_file_sizes():
    assert {name: (DATA / name).stat().st_size for name in FILE_SIZES} == FILE_SIZES


def test_vocab_reserialises_to_published_digest(vocab):
    name, tokens = vocab
    published = b"".join(
        base64.b64encode(token) + b" " + str(rank).encode() + b"\n"
        for rank, token in enumerate(tokens)
    )
    assert hashlib.sha256(published).hexdigest() == PUBLISHED_SHA256[name]


def test_vocab_properties(vocab):
    name, tokens = vocab
    assert len(tokens) == {"r50k.vocab": 50_256, "cl100k.vocab": 100_256, "o200k.vocab": 199_998}[name]
    ranks = {token: rank for rank, token in enumerate(tokens)}
    assert len(ranks) == len(tokens), "a byte string repeats"
    assert all(bytes([b]) in ranks for b in range(256))
    assert max(map(len, tokens)) == 128
    for rank, token in enumerate(tokens):
        if len(token) > 1:
            assert any(
                ranks.get(token[:cut], rank) < rank and ranks.get(token[cut:], rank) < rank
                for cut in range(1, len(token))
            ), f"{name}: rank {rank} is no merge of two lower ranks"


def test_cl100k_vocab_landmarks():
    tokens = read_vocab(DATA / "cl100k.vocab")
    assert (tokens[0], tokens[256], tokens[-1]) == (b"!", b"  ", b" Conveyor")


def test_short_special_lists():
    assert read_special(DATA / "r50k.special") == [("<|endoftext|>", 50256)]
    assert read_special(DATA / "p50k.special") == [("<|endoftext|>", 50256)]
    assert read_special(DATA / "p50k_edit.special") == [
        ("<|endoftext|>", 50256),
        ("<|fim_prefix|>", 50281),
        ("<|fim_middle|>", 50282),
        ("<|fim_suffix|>", 50283),
    ]
    assert read_special(DATA / "cl100k.special") == [
        ("<|endoftext|>", 100257),
        ("<|fim_prefix|>", 100258),
        ("<|fim_middle|>", 100259),
        ("<|fim_suffix|>", 100260),
        ("<|endofprompt|>", 100276),
    ]
    assert read_special(DATA / "o200k.special") == [
        ("<|endoftext|>", 199999),
        ("<|endofprompt|>", 200018),
    ]


def test_harmony_special_list():
    entries = read_special(DATA / "o200k_harmony.special")
    assert len(entries) == 1091
    ids = [token_id for _, token_id in entries]
    assert ids == sorted(ids) and ids[0] == 199998 and ids[-1] == 201087
    assert set(ids) == set(range(199998, 201088))
    named = {text: token_id for text, token_id in entries if "reserved" not in text}
    assert named == {
        "<|startoftext|>": 199998,
        "<|endoftext|>": 199999,
        "<|return|>": 200002,
        "<|constrain|>": 200003,
        "<|channel|>": 200005,
        "<|start|>": 200006,
        "<|end|>": 200007,
        "<|message|>": 200008,
        "<|call|>": 200012,
        "<|endofprompt|>": 200018,
    }
    reserved = [(text, token_id) for text, token_id in entries if "reserved" in text]
    assert len(reserved) == 1081
    assert all(text == f"<|reserved_{token_id}|>" for text, token_id in reserved)
    at_200018 = [text for text, token_id in entries if token_id == 200018]
    assert at_200018 == ["<|endofprompt|>", "<|reserved_200018|>"]


# (ranges, code points, first range, last range) of each class, in class order.
CLASS_SHAPES = [
    (684, 145_672, (0x41, 0x5A), (0x31350, 0x33479)),
    (146, 1_924, (0x30, 0x39), (0x1FBF0, 0x1FBF9)),
    (10, 25, (0x9, 0xD), (0x3000, 0x3000)),
    (1300, 145_932, (0x41, 0x5A), (0xE0100, 0xE01EF)),
    (1282, 146_298, (0x61, 0x7A), (0xE0100, 0xE01EF)),
]


def test_uniclass_tables():
    five = read_uniclass(DATA / "uniclass_o200k.bin", 5)
    shapes = [
        (len(r), sum(hi - lo + 1 for lo, hi in r), r[0], r[-1]) for r in five
    ]
    assert shapes == CLASS_SHAPES
    for ranges in five:
        assert all(lo <= hi <= 0x10FFFF for lo, hi in ranges)
        assert all(a[1] + 1 < b[0] for a, b in zip(ranges, ranges[1:])), "not sorted and merged"
    assert any(lo <= 0x088F <= hi for lo, hi in five[0])
    three = (DATA / "uniclass.bin").read_bytes()
    assert (DATA / "uniclass_o200k.bin").read_bytes()[: len(three)] == three


@pytest.mark.skipif(not SHARED_DATA.is_dir(), reason="generator inputs (../shared/data) absent")
def test_generator_reproduces_committed_files():
    sys.path.insert(0, str(REPO / "tools"))
    import gen_data

    generated = gen_data.generate(SHARED_DATA)
    assert sorted(generated) == sorted(FILE_SIZES)
    for name, content in generated.items():
        assert content == (DATA / name).read_bytes(), name
    for path, content in gen_data.generate_sources(SHARED_DATA).items():
        assert content == (REPO / path).read_bytes(), path
